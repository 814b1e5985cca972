#!/usr/bin/env bash
# Where a relayed GiB's CPU goes: `perf record` of one sealgate build during
# a transfer of 4 connections x 256 MiB through a fresh instance at -L 0,
# split into system calls (kernel time but for its copies), copies (the
# kernel's to and from user memory, and memcpy), crypto (libcrypto) and the
# rest; with the relay's CPU per GiB, each part in seconds per GiB.
#   bench/relay_profile.sh SEALGATE download|upload
set -euo pipefail
cd "$(dirname "$0")/.."
binary=$(realpath "${1:?sealgate binary}") scenario=${2:?download or upload}
source bench/lib.sh
bench_setup relayprofile linux-perf
make_bench_certificate relayprofile
server_port=$(free_port) port=$(free_port)
build/bench/tls-bench-server "$server_port" "$work/cert.pem" "$work/key.pem" & pids+=($!)
mkdir -p "$work/log"
"$binary" -l "$work/log" -sp "$port" -L 0 & relay=$!; pids+=($relay)
wait_port "$server_port"; wait_port "$port"
perf record -F 2000 -o "$work/perf.data" -p "$relay" 2>/dev/null & recorder=$!
sleep 0.3
result=$(build/bench/sealgate-load --mode sealgate --port "$port" --server-port "$server_port" --ca "$work/cert.pem" \
  --scenario "$scenario" --conns 4 --bytes $((256 << 20)) --pid "$relay")
kill -INT "$recorder"; wait "$recorder" 2>/dev/null || true
echo "$result"
perf report -i "$work/perf.data" --no-children --sort dso,sym -g none --stdio --percent-limit 0 2>/dev/null |
  python3 -c '
import collections, json, sys
cpu = json.loads(sys.argv[1])["cpu_s_per_gib"]
parts = collections.Counter()
for line in sys.stdin:
    line = line.strip()
    if not line or line.startswith("#") or "%" not in line: continue
    share, rest = line.split("%", 1)
    dso, sym = rest.split()[0], rest.rsplit("]", 1)[-1].strip()
    if "kernel" in dso:
        copy = any(k in sym for k in ("copy_to_iter", "copy_from_iter", "copy_user"))
        parts["copies (kernel)" if copy else "system calls (kernel)"] += float(share)
    elif "libcrypto" in dso: parts["crypto (libcrypto)"] += float(share)
    elif "libc.so" in dso and ("memmove" in sym or "memcpy" in sym): parts["copies (memcpy)"] += float(share)
    else: parts["the rest (libc, libssl, sealgate)"] += float(share)
for name, share in sorted(parts.items(), key=lambda item: -item[1]):
    print(f"{name}\t{share:.1f}%\t{cpu * share / 100:.3f} s/GiB")
' "$result"
