#!/usr/bin/env bash
# CPU per relayed GiB of several sealgate builds, side by side: round by
# round, each build (in turn, the order shifted each round) relays a download
# and an upload of 4 connections through a fresh instance at -L 0; the
# relay's CPU time (utime + stime of its process tree) is read around each
# transfer. Prints the medians per build and direction, with MB/s beside.
#   bench/relay_cpu.sh [--rounds N] [--bytes PER_CONNECTION] SEALGATE...
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=5 bytes=$((256 << 20))
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift ;;
    --bytes) bytes=$2; shift ;;
    *) break ;;
  esac
  shift
done
[ $# -gt 0 ] || { echo "usage: bench/relay_cpu.sh [--rounds N] [--bytes B] SEALGATE..." >&2; exit 2; }
binaries=()
for b in "$@"; do binaries+=("$(realpath "$b")"); done
source bench/lib.sh
bench_setup relaycpu
make_bench_certificate relaycpu
server_port=$(free_port)
build/bench/tls-bench-server "$server_port" "$work/cert.pem" "$work/key.pem" & pids+=($!)
wait_port "$server_port"
out="$work/samples.jsonl"
: > "$out"
for round in $(seq "$rounds"); do
  n=${#binaries[@]}
  for i in $(seq 0 $((n - 1))); do
    index=$(( (i + round) % n ))
    binary=${binaries[$index]}
    port=$(free_port)
    mkdir -p "$work/log-$port"
    "$binary" -l "$work/log-$port" -sp "$port" -L 0 & pid=$!
    wait_port "$port"
    for scenario in download upload; do
      build/bench/sealgate-load --mode sealgate --port "$port" --server-port "$server_port" --ca "$work/cert.pem" \
        --timeout 120 --scenario "$scenario" --conns 4 --bytes "$bytes" --pid "$pid" |
        sed "s|^{|{\"build\": $index, |" >> "$out"
    done
    kill "$pid"; wait "$pid" 2>/dev/null || true
  done
done
python3 - "$out" "$@" <<'PY'
import json, statistics, sys
rows = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
for index, name in enumerate(sys.argv[2:]):
    for scenario in ("download", "upload"):
        mine = [r for r in rows if r["build"] == index and r["scenario"] == scenario]
        cpu = statistics.median(r["cpu_s_per_gib"] for r in mine)
        mbs = statistics.median(r["mb_per_s"] for r in mine)
        errors = sum(r["errors"] for r in mine)
        print(f"{name}\t{scenario}\tcpu_s_per_gib {cpu:.3f}\tmb_per_s {mbs:.0f}\truns {len(mine)} errors {errors}")
PY
