#!/usr/bin/env bash
# Soak: keeps a mixed load on sealgate for MINUTES (default 10) and prints,
# each minute, connections served, errors, RSS and open descriptors.
# The load: new connections (full set-up and an echo), long relays, refused
# requests, and requests with the OCSP check against a real responder.
#   bench/soak.sh [MINUTES]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-10}
source bench/lib.sh
bench_setup soak
ocsp_port=$(free_port); closed_port=$(free_port)
bash tests/pki.sh "$work/pki" "$ocsp_port" "$closed_port" "$(free_port)" >/dev/null 2>&1
(cd "$work/pki" && exec openssl ocsp -index index.txt -port "$ocsp_port" -rsigner inter.pem -rkey inter.key \
  -CA inter.pem -ignore_err >/dev/null 2>&1) & pids+=($!)
server_port=$(free_port); port=$(free_port)
build/bench/tls-bench-server "$server_port" "$work/pki/good.chain.pem" "$work/pki/good.key" & pids+=($!)
mkdir -p "$work/log"
build/sealgate -l "$work/log" -sp "$port" -L 0 -s 10485760 & sealgate=$!; pids+=($sealgate)
sleep 1  # also covers the responder, which must not be probed (a probe wedges it)
end=$(( $(date +%s) + minutes * 60 ))
results="$work/results.jsonl"
: > "$results"
load() { build/bench/sealgate-load --mode sealgate --port "$port" --server-port "$server_port" \
  --ca "$work/pki/root.pem" --timeout 120 "$@" >> "$results" 2>/dev/null || true; }
# Each loop runs until the end time.
( while [ "$(date +%s)" -lt "$end" ]; do load --scenario connrate --conns 2 --seconds 10; done ) & pids+=($!)
( while [ "$(date +%s)" -lt "$end" ]; do load --scenario download --conns 1 --bytes $((256 << 20)); load --scenario upload --conns 1 --bytes $((256 << 20)); done ) & pids+=($!)
( while [ "$(date +%s)" -lt "$end" ]; do
    build/bench/sealgate-load --mode sealgate --port "$port" --server-port "$closed_port" --scenario refused \
      --conns 1 --seconds 10 --timeout 60 >> "$results" 2>/dev/null || true; done ) & pids+=($!)
( while [ "$(date +%s)" -lt "$end" ]; do
    for host in 127.0.0.1 localhost; do load --scenario connrate --conns 1 --seconds 5 --verify 1 --server-host "$host"; done
  done ) & pids+=($!)

served() { grep -h -o 'Connections [0-9]*' "$work"/log/*.log 2>/dev/null | tail -1 | cut -d' ' -f2; }
errors() { python3 -c 'import json,sys; print(sum(json.loads(l).get("errors",0) for l in open(sys.argv[1]) if l.strip()))' "$results"; }
printf '%-7s %-12s %-7s %-9s %-5s\n' minute served errors rss_kib fds
first_rss=0 first_fds=0
for m in $(seq "$minutes"); do
  sleep 60
  rss=$(awk '/VmRSS/ {print $2}' /proc/$sealgate/status)
  fds=$(ls /proc/$sealgate/fd | wc -l)
  printf '%-7s %-12s %-7s %-9s %-5s\n' "$m" "$(served)" "$(errors)" "$rss" "$fds"
  if [ "$m" = 2 ]; then first_rss=$rss; first_fds=$fds; fi
done
wait "${pids[@]:3}" 2>/dev/null || true
sleep 2
rss=$(awk '/VmRSS/ {print $2}' /proc/$sealgate/status); fds=$(ls /proc/$sealgate/fd | wc -l)
echo "after the load: rss ${rss} KiB, ${fds} fds; errors $(errors)"
