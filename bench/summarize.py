#!/usr/bin/env python3
"""Medians per peer and case, and ratios taken within each round."""
import json
import statistics
import sys

samples_path, machine, dated_path, latest_path, dat_path = sys.argv[1:6]
samples = [json.loads(line) for line in open(samples_path) if line.strip()]

PEERS = ("direct", "sealgate", "sealgate_debug", "stunnel", "haproxy", "sealgate_base")
# The table's rows: case and metric.
ROWS = [("download", "mb_per_s"), ("upload", "mb_per_s"),
        ("download", "cpu_s_per_gib"), ("upload", "cpu_s_per_gib"),
        ("connrate", "conn_per_s"), ("connrate", "p50_ms"), ("connrate", "cpu_us_per_conn"),
        ("connrate_bundle", "conn_per_s"), ("connrate_bundle", "cpu_us_per_conn"),
        ("connrate_verify", "conn_per_s"), ("connrate_verify", "p50_ms"), ("connrate_verify", "cpu_us_per_conn"),
        ("connrate_name", "conn_per_s"), ("connrate_name", "cpu_us_per_conn"),
        ("connrate_tickets", "conn_per_s"), ("connrate_tickets", "p50_ms"), ("connrate_tickets", "cpu_us_per_conn"),
        ("latency", "p50_us"), ("idle", "kib_per_conn")]
METRICS = ("mb_per_s", "cpu_s_per_gib", "conn_per_s", "p50_ms", "p99_ms", "cpu_us_per_conn", "p50_us", "p99_us", "kib_per_conn")
by = {}
for s in samples:
    by.setdefault((s["case"], s["peer"]), []).append(s)

medians = {}
for (case, peer), rows in sorted(by.items()):
    entry = {"runs": len(rows), "errors": sum(r["errors"] for r in rows)}
    for key in METRICS:
        values = [r[key] for r in rows if key in r]
        if values:
            entry[key] = round(statistics.median(values), 2)
    medians.setdefault(case, {})[peer] = entry


def ratio(case, metric, other, other_case=None, peer="sealgate"):
    """Median over rounds of peer's metric divided by other's, same round."""
    a = {r["round"]: r[metric] for r in by.get((case, peer), []) if metric in r}
    b = {r["round"]: r[metric] for r in by.get((other_case or case, other), []) if metric in r}
    values = [a[k] / b[k] for k in a if k in b and b[k]]
    return round(statistics.median(values), 3) if values else None


# Name, value and the peer compared with (which colours the bar).
LOWER = " (lower is better)"
ratios = []
for other in ("direct", "stunnel", "haproxy"):
    ratios += [("download vs " + other, ratio("download", "mb_per_s", other), other),
               ("upload vs " + other, ratio("upload", "mb_per_s", other), other)]
ratios += [("download at DEBUG vs -L 0", ratio("download", "mb_per_s", "sealgate", peer="sealgate_debug"), "sealgate"),
           ("upload at DEBUG vs -L 0", ratio("upload", "mb_per_s", "sealgate", peer="sealgate_debug"), "sealgate"),
           ("conn/s vs direct", ratio("connrate", "conn_per_s", "direct"), "direct")]
for other in ("stunnel", "haproxy"):
    ratios += [("download CPU/GiB vs %s%s" % (other, LOWER), ratio("download", "cpu_s_per_gib", other), other),
               ("upload CPU/GiB vs %s%s" % (other, LOWER), ratio("upload", "cpu_s_per_gib", other), other)]
for other in ("stunnel", "haproxy"):
    ratios += [("conn/s vs %s (no resumption)" % other, ratio("connrate", "conn_per_s", other), other),
               ("conn/s vs %s (tickets)" % other, ratio("connrate_tickets", "conn_per_s", other), other)]
ratios += [("conn/s vs stunnel (system bundle)", ratio("connrate_bundle", "conn_per_s", "stunnel", "connrate"), "stunnel"),
           ("conn/s with VerifyServer vs without", ratio("connrate_verify", "conn_per_s", "sealgate", "connrate"), "sealgate"),
           ("conn/s with a host name vs a number", ratio("connrate_name", "conn_per_s", "sealgate", "connrate"), "sealgate"),
           ("CPU/conn with VerifyServer vs without" + LOWER,
            ratio("connrate_verify", "cpu_us_per_conn", "sealgate", "connrate"), "sealgate"),
           ("set-up+echo p50 vs haproxy" + LOWER, ratio("connrate", "p50_ms", "haproxy"), "haproxy")]
for other in ("stunnel", "haproxy"):
    ratios += [("CPU/conn vs %s%s" % (other, LOWER), ratio("connrate", "cpu_us_per_conn", other), other),
               ("64-byte p50 vs %s%s" % (other, LOWER), ratio("latency", "p50_us", other), other),
               ("idle KiB/conn vs %s%s" % (other, LOWER), ratio("idle", "kib_per_conn", other), other)]

if any(peer == "sealgate_base" for _, peer in by):
    BASE = " (this build vs the baseline build)"
    ratios += [("download" + BASE, ratio("download", "mb_per_s", "sealgate_base"), "sealgate"),
               ("upload" + BASE, ratio("upload", "mb_per_s", "sealgate_base"), "sealgate"),
               ("download CPU/GiB" + BASE + LOWER, ratio("download", "cpu_s_per_gib", "sealgate_base"), "sealgate"),
               ("upload CPU/GiB" + BASE + LOWER, ratio("upload", "cpu_s_per_gib", "sealgate_base"), "sealgate"),
               ("conn/s" + BASE, ratio("connrate", "conn_per_s", "sealgate_base"), "sealgate"),
               ("conn/s, tickets" + BASE, ratio("connrate_tickets", "conn_per_s", "sealgate_base"), "sealgate"),
               ("conn/s, host name" + BASE, ratio("connrate_name", "conn_per_s", "sealgate_base"), "sealgate"),
               ("set-up+echo p50" + BASE + LOWER, ratio("connrate", "p50_ms", "sealgate_base"), "sealgate"),
               ("64-byte p50" + BASE + LOWER, ratio("latency", "p50_us", "sealgate_base"), "sealgate"),
               ("idle KiB/conn" + BASE + LOWER, ratio("idle", "kib_per_conn", "sealgate_base"), "sealgate")]

result = {"machine": machine, "medians": medians, "ratios": {name: value for name, value, _ in ratios}}
for path in (dated_path, latest_path):
    with open(path, "w") as f:
        json.dump(result, f, indent=2)
COLOURS = {"direct": 0x888888, "sealgate": 0x3572a5, "stunnel": 0x2e8b57, "haproxy": 0xc0504d}
with open(dat_path, "w") as f:
    for i, (name, value, other) in enumerate(ratios):
        if value is not None:
            f.write('%d "%s" %f %d\n' % (i, name, value, COLOURS[other]))

print("machine: " + machine)
print("| case | direct | sealgate -L 0 | sealgate -L 3 | stunnel | haproxy | baseline sealgate -L 0 |")
print("|---|---|---|---|---|---|---|")
for case, metric in ROWS:
    row = medians.get(case, {})
    cells = [str(row.get(p, {}).get(metric, "")) for p in PEERS]
    print("| %s (%s) | %s |" % (case, metric, " | ".join(cells)))
print()
print("| ratio | value |")
print("|---|---|")
for name, value, _ in ratios:
    print("| %s | %s |" % (name, value))
errors = sum(e.get("errors", 0) for case in medians.values() for e in case.values())
print("\ntransfer errors: %d" % errors)
