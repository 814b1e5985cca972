#!/usr/bin/env bash
# Load test: N concurrent relayed connections (default 5000) through sealgate
# to a loopback TLS server, 4 KiB moved and checked on every one; reports the
# peak RSS of sealgate per connection and the error count (must be 0).
#   bench/load_test.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-5000}
source scripts/deps.sh
install_missing "${BUILD_PACKAGES[@]}" python3
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target sealgate tls-bench-server sealgate-load >/dev/null
ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d /tmp/sealgate-load-XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null; rm -rf "$work"' EXIT
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 2 -subj /CN=load 2>/dev/null
server_port=$(free_port); port=$(free_port)
build/bench/tls-bench-server "$server_port" "$work/cert.pem" "$work/key.pem" & pids+=($!)
mkdir -p "$work/log"
build/sealgate -l "$work/log" -sp "$port" -L 0 & sealgate=$!; pids+=($sealgate)
sleep 1
build/bench/sealgate-load --mode sealgate --scenario many --count "$count" --conns 8 --port "$port" \
  --server-port "$server_port" --ca "$work/cert.pem" --pid "$sealgate" --timeout 300
