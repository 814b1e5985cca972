#!/usr/bin/env python3
"""Medians per peer and case, and ratios taken within each round."""
import json
import statistics
import sys

samples_path, machine, dated_path, latest_path, dat_path = sys.argv[1:6]
samples = [json.loads(line) for line in open(samples_path) if line.strip()]

METRIC = {"download": "mb_per_s", "upload": "mb_per_s", "connrate": "conn_per_s",
          "connrate_bundle": "conn_per_s", "latency": "p50_us", "idle": "kib_per_conn"}
by = {}
for s in samples:
    by.setdefault((s["case"], s["peer"]), []).append(s)

medians = {}
for (case, peer), rows in sorted(by.items()):
    entry = {"runs": len(rows), "errors": sum(r["errors"] for r in rows)}
    for key in ("mb_per_s", "conn_per_s", "p50_ms", "p99_ms", "p50_us", "p99_us", "kib_per_conn"):
        values = [r[key] for r in rows if key in r]
        if values:
            entry[key] = round(statistics.median(values), 2)
    medians.setdefault(case, {})[peer] = entry


def ratio(case, peer, other, other_case=None):
    """Median over rounds of peer's metric divided by other's, same round."""
    other_case = other_case or case
    metric = METRIC[case]
    a = {r["round"]: r[metric] for r in by.get((case, peer), [])}
    b = {r["round"]: r[metric] for r in by.get((other_case, other), [])}
    values = [a[k] / b[k] for k in a if k in b and b[k]]
    return round(statistics.median(values), 3) if values else None


ratios = {
    "download vs direct": ratio("download", "sealgate", "direct"),
    "download vs stunnel": ratio("download", "sealgate", "stunnel"),
    "upload vs direct": ratio("upload", "sealgate", "direct"),
    "upload vs stunnel": ratio("upload", "sealgate", "stunnel"),
    "download at DEBUG vs -L 0": ratio("download", "sealgate_debug", "sealgate"),
    "upload at DEBUG vs -L 0": ratio("upload", "sealgate_debug", "sealgate"),
    "conn/s vs stunnel (one-cert CA)": ratio("connrate", "sealgate", "stunnel"),
    "conn/s vs stunnel (system bundle)": ratio("connrate_bundle", "sealgate", "stunnel", "connrate"),
    "conn/s vs direct": ratio("connrate", "sealgate", "direct"),
    "64-byte p50 vs stunnel (lower is better)": ratio("latency", "sealgate", "stunnel"),
    "idle KiB/conn vs stunnel (lower is better)": ratio("idle", "sealgate", "stunnel"),
}
result = {"machine": machine, "medians": medians, "ratios": ratios}
for path in (dated_path, latest_path):
    with open(path, "w") as f:
        json.dump(result, f, indent=2)
with open(dat_path, "w") as f:
    for i, (name, value) in enumerate(ratios.items()):
        if value is not None:
            f.write('%d "%s" %f\n' % (i, name, value))

print("machine: " + machine)
print("| case | direct | sealgate -L 0 | sealgate -L 3 | stunnel |")
print("|---|---|---|---|---|")
for case, metric in METRIC.items():
    row = medians.get(case, {})
    cells = [str(row.get(p, {}).get(metric, "")) for p in ("direct", "sealgate", "sealgate_debug", "stunnel")]
    print("| %s (%s) | %s |" % (case, metric, " | ".join(cells)))
print()
print("| ratio | value |")
print("|---|---|")
for name, value in ratios.items():
    print("| %s | %s |" % (name, value))
errors = sum(e.get("errors", 0) for case in medians.values() for e in case.values())
print("\ntransfer errors: %d" % errors)
