#!/usr/bin/env bash
# Load test: N concurrent relayed connections (default 5000) through sealgate
# to a loopback TLS server, 4 KiB moved and checked on every one; reports the
# peak RSS of sealgate per connection and the error count (must be 0).
#   bench/load_test.sh [N]
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-5000}
source bench/lib.sh
bench_setup load
ulimit -n "$(ulimit -Hn)"
make_bench_certificate load
server_port=$(free_port); port=$(free_port)
build/bench/tls-bench-server "$server_port" "$work/cert.pem" "$work/key.pem" & pids+=($!)
mkdir -p "$work/log"
build/sealgate -l "$work/log" -sp "$port" -L 0 & sealgate=$!; pids+=($sealgate)
wait_port "$server_port"; wait_port "$port"
build/bench/sealgate-load --mode sealgate --scenario many --count "$count" --conns 8 --port "$port" \
  --server-port "$server_port" --ca "$work/cert.pem" --pid "$sealgate" --timeout 300
