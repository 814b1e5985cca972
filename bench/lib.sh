# Shared by the bench scripts, sourced from the repository root: packages,
# the Release build of the three programs, a work directory and the clean-up
# of every process the script starts (append their pids to `pids`).
source scripts/deps.sh

# bench_setup TAG [PACKAGE...]
bench_setup() {
  local tag=$1
  shift
  install_missing "${BUILD_PACKAGES[@]}" python3 "$@"
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$(nproc)" --target sealgate tls-bench-server sealgate-load >/dev/null
  work=$(mktemp -d "/tmp/sealgate-$tag-XXXXXX")
  pids=()
  trap bench_cleanup EXIT
}

bench_cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() { for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.05; done; return 1; }

# A throw-away P-256 certificate for 127.0.0.1 and its key in $work.
make_bench_certificate() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 2 -subj "/CN=$1" -addext subjectAltName=IP:127.0.0.1 2>/dev/null
}
