#!/usr/bin/env bash
# Benchmarks sealgate against direct TLS (the ceiling), stunnel4 in client
# mode and HAProxy (TCP mode, TLS to the server), round by round, on loopback.
# Each relay's CPU time per GiB moved (its process tree) is read around each
# transfer. Two TLS servers: one that only does full handshakes, and one that issues
# session tickets for the connrate_tickets case, where the tunnels resume
# sessions as they do by default. sealgate's connection rate is also taken
# with "VerifyServer": true (connrate_verify: chain and name verified against
# the server's own certificate as CA file), and with the server named
# "localhost" (connrate_name: the name looked up off the loop). Writes bench/results/latest.json (and a
# dated copy), bench/results/ratios.svg, and prints the table.
#   bench/run.sh --quick   under 2 minutes
#   bench/run.sh           the full run, about 5 minutes
#   bench/run.sh [--quick] --baseline OTHER_SEALGATE
#                          adds another sealgate binary (an earlier build) as
#                          the peer sealgate_base, for before/after figures
#                          from one run; results go to bench/results/compare-*.json
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=0 baseline=""
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --baseline) baseline=$(realpath "$2"); shift ;;
    *) echo "usage: bench/run.sh [--quick] [--baseline SEALGATE]" >&2; exit 2 ;;
  esac
  shift
done

source bench/lib.sh
bench_setup bench stunnel4 haproxy gnuplot-nox procps
make_bench_certificate bench
server_port=$(free_port); ticket_port=$(free_port); sg3_port=$(free_port)
build/bench/tls-bench-server "$server_port" "$work/cert.pem" "$work/key.pem" & pids+=($!)
build/bench/tls-bench-server --tickets "$ticket_port" "$work/cert.pem" "$work/key.pem" & pids+=($!)
mkdir -p "$work/log3"
build/sealgate -l "$work/log3" -sp "$sg3_port" -L 3 -s 104857600 & pids+=($!)
for p in "$server_port" "$ticket_port" "$sg3_port"; do wait_port "$p"; done

# start_relay sealgate|stunnel|haproxy: a new instance (sealgate at -L 0) on
# new ports in place of the one before; sets entrance, ticket_entrance (the
# tunnels' way to the ticket server; sealgate's request names it instead) and
# relay_pid. The tunnels: TLS 1.2, no verification, no logging. HAProxy's
# session reuse is off towards the first server (stunnel finds nothing to
# reuse there); towards the ticket server both resume as they do by default.
declare -A entrance ticket_entrance relay_pid
start_relay() {
  local peer=$1 port ticket conf
  port=$(free_port); ticket=$(free_port); conf="$work/$peer-$port"
  local old=${relay_pid[$peer]:-} kept=() p
  if [ -n "$old" ]; then
    kill "$old"; wait "$old" 2>/dev/null || true
    for p in "${pids[@]}"; do [ "$p" = "$old" ] || kept+=("$p"); done
    pids=("${kept[@]}")
  fi
  case $peer in
    sealgate | sealgate_base)
      mkdir -p "$conf"
      local binary=build/sealgate
      [ "$peer" = sealgate_base ] && binary=$baseline
      "$binary" -l "$conf" -sp "$port" -L 0 & ;;
    stunnel)
      cat > "$conf" <<CONF
foreground = yes
pid =
syslog = no
debug = 0
output = /dev/null
client = yes
sslVersion = TLSv1.2
verify = 0
[plain]
accept = 127.0.0.1:$port
connect = 127.0.0.1:$server_port
[tickets]
accept = 127.0.0.1:$ticket
connect = 127.0.0.1:$ticket_port
CONF
      stunnel4 "$conf" & ;;
    haproxy)
      cat > "$conf" <<CONF
global
  nbthread 2
  maxconn 4096
defaults
  mode tcp
  timeout connect 5s
  timeout client 60s
  timeout server 60s
  default-server ssl verify none ssl-min-ver TLSv1.2 ssl-max-ver TLSv1.2
frontend plain
  bind 127.0.0.1:$port
  default_backend plain
backend plain
  server s1 127.0.0.1:$server_port no-ssl-reuse
frontend tickets
  bind 127.0.0.1:$ticket
  default_backend tickets
backend tickets
  server s1 127.0.0.1:$ticket_port
CONF
      haproxy -f "$conf" -db & ;;
  esac
  relay_pid[$peer]=$!; pids+=($!)
  entrance[$peer]=$port; ticket_entrance[$peer]=$ticket
  wait_port "$port" || { echo "$peer does not listen" >&2; exit 1; }
  [[ $peer == sealgate* ]] || wait_port "$ticket"
}

if [ $quick = 1 ]; then rounds=3 bytes=$((32 << 20)) secs=2 count=2000 idle=200
else rounds=5 bytes=$((128 << 20)) secs=4 count=10000 idle=500; fi
bundle=/etc/ssl/certs/ca-certificates.crt

load() { build/bench/sealgate-load --server-port "$server_port" --ca "$work/cert.pem" --timeout 120 "$@"; }
peer_args() {
  case $1 in
    direct) echo "--mode direct --port $server_port" ;;
    sealgate | sealgate_base) echo "--mode sealgate --port ${entrance[$1]}" ;;
    sealgate_debug) echo "--mode sealgate --port $sg3_port" ;;
    stunnel | haproxy) echo "--mode tunnel --port ${entrance[$1]}" ;;
  esac
}
ticket_args() {
  case $1 in
    sealgate | sealgate_base) echo "--mode sealgate --port ${entrance[$1]} --server-port $ticket_port" ;;
    stunnel | haproxy) echo "--mode tunnel --port ${ticket_entrance[$1]}" ;;
  esac
}

out="$work/samples.jsonl"
: > "$out"
record() { sed "s/^{/{\"round\": $1, \"peer\": \"$2\", \"case\": \"$3\", /" >> "$out"; }
machine="$(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"

for round in $(seq "$rounds"); do
  peers=(direct sealgate sealgate_debug stunnel haproxy ${baseline:+sealgate_base})
  # Alternate the order round by round so no peer always runs first.
  shift_by=$(( (round - 1) % ${#peers[@]} ))
  peers=("${peers[@]:$shift_by}" "${peers[@]:0:$shift_by}")
  echo "round $round of $rounds" >&2
  for peer in "${peers[@]}"; do
    # A fresh relay each turn, its idle memory measured first: memory it kept
    # from earlier connections would hide part of what idle connections cost.
    pid=""
    case $peer in sealgate | sealgate_base | stunnel | haproxy) start_relay "$peer"; pid=${relay_pid[$peer]} ;; esac
    args=$(peer_args "$peer")
    rate="--scenario connrate --conns 8 --seconds $secs ${pid:+--pid $pid}"
    [ -n "$pid" ] && load $args --scenario idle --count "$idle" --pid "$pid" | record "$round" "$peer" idle
    load $args --scenario download --conns 4 --bytes "$bytes" ${pid:+--pid $pid} | record "$round" "$peer" download
    load $args --scenario upload --conns 4 --bytes "$bytes" ${pid:+--pid $pid} | record "$round" "$peer" upload
    [ "$peer" = sealgate_debug ] && continue
    load $args $rate | record "$round" "$peer" connrate
    load $args --scenario latency --count "$count" | record "$round" "$peer" latency
    [ "$peer" = direct ] && continue
    [ "$peer" = sealgate ] && load $args --ca "$bundle" $rate | record "$round" "$peer" connrate_bundle
    [ "$peer" = sealgate ] && load $args --verify-server 1 $rate | record "$round" "$peer" connrate_verify
    [[ $peer == sealgate* ]] && load $args --server-host localhost $rate | record "$round" "$peer" connrate_name
    load $(ticket_args "$peer") $rate | record "$round" "$peer" connrate_tickets
  done
done

mkdir -p bench/results
stamp=$(date -u +%Y%m%dT%H%M%SZ)
if [ -n "$baseline" ]; then
  python3 bench/summarize.py "$out" "$machine" "bench/results/compare-$stamp.json" /dev/null "$work/ratios.dat"
  echo "results: bench/results/compare-$stamp.json" >&2
  exit 0
fi
python3 bench/summarize.py "$out" "$machine" "bench/results/$stamp.json" bench/results/latest.json "$work/ratios.dat"
gnuplot -e "datafile='$work/ratios.dat'; outfile='$root/bench/results/ratios.svg'" bench/ratios.gp
echo "results: bench/results/latest.json, bench/results/ratios.svg" >&2
