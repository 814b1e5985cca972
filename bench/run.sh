#!/usr/bin/env bash
# Benchmarks sealgate against direct TLS (the ceiling) and stunnel4 in client
# mode, round by round, on loopback. Writes bench/results/latest.json (and a
# dated copy), bench/results/ratios.svg, and prints the table.
#   bench/run.sh --quick   about 2 minutes
#   bench/run.sh           the full run, under 10 minutes
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

source bench/lib.sh
bench_setup bench stunnel4 gnuplot-nox procps
make_bench_certificate bench
server_port=$(free_port); sg0_port=$(free_port); sg3_port=$(free_port); stunnel_port=$(free_port)
build/bench/tls-bench-server "$server_port" "$work/cert.pem" "$work/key.pem" & pids+=($!)
mkdir -p "$work/log0" "$work/log3"
build/sealgate -l "$work/log0" -sp "$sg0_port" -L 0 & sg0_pid=$!; pids+=($sg0_pid)
build/sealgate -l "$work/log3" -sp "$sg3_port" -L 3 -s 104857600 & sg3_pid=$!; pids+=($sg3_pid)
cat > "$work/stunnel.conf" <<CONF
foreground = yes
pid =
syslog = no
debug = 0
output = /dev/null
[bench]
client = yes
accept = 127.0.0.1:$stunnel_port
connect = 127.0.0.1:$server_port
sslVersion = TLSv1.2
verify = 0
CONF
stunnel4 "$work/stunnel.conf" & stunnel_pid=$!; pids+=($stunnel_pid)
for p in "$server_port" "$sg0_port" "$sg3_port" "$stunnel_port"; do wait_port "$p"; done

if [ $quick = 1 ]; then rounds=3 bytes=$((32 << 20)) secs=2 count=2000 idle=200
else rounds=5 bytes=$((128 << 20)) secs=4 count=10000 idle=400; fi
bundle=/etc/ssl/certs/ca-certificates.crt

load() { build/bench/sealgate-load --server-port "$server_port" --ca "$work/cert.pem" --timeout 120 "$@"; }
peer_args() {
  case $1 in
    direct) echo "--mode direct --port $server_port" ;;
    sealgate) echo "--mode sealgate --port $sg0_port" ;;
    sealgate_debug) echo "--mode sealgate --port $sg3_port" ;;
    stunnel) echo "--mode tunnel --port $stunnel_port" ;;
  esac
}
peer_pid() { case $1 in sealgate) echo $sg0_pid ;; stunnel) echo $stunnel_pid ;; esac; }

out="$work/samples.jsonl"
: > "$out"
record() { sed "s/^{/{\"round\": $1, \"peer\": \"$2\", \"case\": \"$3\", /" >> "$out"; }
machine="$(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"

for round in $(seq "$rounds"); do
  peers=(direct sealgate sealgate_debug stunnel)
  # Alternate the order round by round so no peer always runs first.
  shift_by=$(( (round - 1) % ${#peers[@]} ))
  peers=("${peers[@]:$shift_by}" "${peers[@]:0:$shift_by}")
  echo "round $round of $rounds" >&2
  for peer in "${peers[@]}"; do
    args=$(peer_args "$peer")
    load $args --scenario download --conns 4 --bytes "$bytes" | record "$round" "$peer" download
    load $args --scenario upload --conns 4 --bytes "$bytes" | record "$round" "$peer" upload
    [ "$peer" = sealgate_debug ] && continue
    load $args --scenario connrate --conns 4 --seconds "$secs" | record "$round" "$peer" connrate
    load $args --scenario latency --count "$count" | record "$round" "$peer" latency
    if [ "$peer" = sealgate ]; then
      build/bench/sealgate-load $args --server-port "$server_port" --ca "$bundle" --scenario connrate --conns 4 \
        --seconds "$secs" --timeout 120 | record "$round" "$peer" connrate_bundle
    fi
    if [ "$peer" = sealgate ] || [ "$peer" = stunnel ]; then
      load $args --scenario idle --count "$idle" --pid "$(peer_pid "$peer")" | record "$round" "$peer" idle
    fi
  done
done

mkdir -p bench/results
stamp=$(date -u +%Y%m%dT%H%M%SZ)
python3 bench/summarize.py "$out" "$machine" "bench/results/$stamp.json" bench/results/latest.json "$work/ratios.dat"
gnuplot -e "datafile='$work/ratios.dat'; outfile='$root/bench/results/ratios.svg'" bench/ratios.gp
echo "results: bench/results/latest.json, bench/results/ratios.svg" >&2
