#!/usr/bin/env python3
"""Turns bench/run's hyperfine results into one table per workload: the mean time of each tool
and its overhead as ratios, then each target the tracer is held to, met or missed.

usage: tables.py <results-dir>
"""
import json
import os
import sys

WORKLOADS = {
    "dd": "dd if=in of=out bs=256 (1 MiB in 256-byte blocks)",
    "tar": "sh -c 'tar cf - /usr/include | cat >/dev/null'",
    "procs": "sh loop starting 300 /bin/true",
}
SUITE_WORKLOADS = {"preload": ["dd", "tar"], "ptrace": ["dd", "tar", "procs"]}
RATIO_NAMES = {"vs_untraced": "traced / untraced", "vs_strace": "added / strace's added",
               "vs_floor": "added / floor's added"}
TRACER = {"preload": "drel-tracer-preload", "ptrace": "drel-tracer"}


def targets(suite, workload):
    """(description, key, limit, strict): the ratio `key` must stay below (strict) or at most
    `limit`."""
    if suite == "preload":
        out = [("added time at most 1/4 of strace's", "vs_strace", 0.25, False)]
        if workload == "tar":
            out.append(("traced under 1.8x untraced", "vs_untraced", 1.8, True))
        return out
    out = [("added time below strace's", "vs_strace", 1.0, True)]
    if workload == "tar":
        out.append(("added time at most 1/2 of strace's", "vs_strace", 0.5, False))
    out.append(("added time within 2x the floor's", "vs_floor", 2.0, False))
    return out


def ratio(a, b):
    return a / b if b > 0 else None


def fmt_ratio(r):
    return "n/a" if r is None else f"{r:.2f}"


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def table(results, suite, workload):
    base = os.path.join(results, f"{suite}-{workload}")
    if not os.path.exists(base + ".json"):
        return None
    with open(base + ".json", encoding="utf-8") as f:
        rows = {r["command"]: r for r in json.load(f)["results"]}
    lines = [f"### {suite}: {workload} — {WORKLOADS[workload]}", ""]
    untraced = rows.get("untraced")
    strace = rows.get("strace")
    floor = rows.get("drel-floor-tracer")
    u = untraced["mean"] if untraced else None

    def added(name):
        return rows[name]["mean"] - u if name in rows and u is not None else None

    def cpu(name):
        return rows[name]["user"] + rows[name]["system"] if name in rows else None

    def cpu_added(name):
        return cpu(name) - cpu("untraced") if name in rows and "untraced" in rows else None

    strace_added = added("strace")
    floor_added = added("drel-floor-tracer")
    header = ["tool", "mean [ms]", "± σ [ms]", "traced / untraced", "added [ms]",
              "added / strace's added"]
    if suite == "ptrace":
        header.append("added / floor's added")
    # CPU time (user + system of the tool and everything it ran) shifts less than wall time
    # when other work shares the cores.
    header += ["cpu [ms]", "cpu added / strace's cpu added"]
    lines.append("| " + " | ".join(header) + " |")
    lines.append("|" + "|".join("---" for _ in header) + "|")
    order = ["untraced", "strace", TRACER[suite]] + (["drel-floor-tracer"] if suite == "ptrace"
                                                      else [])
    measured = {}
    for name in order:
        if name not in rows:
            continue
        r = rows[name]
        a = added(name)
        m = {
            "vs_untraced": ratio(r["mean"], u) if u else None,
            "vs_strace": ratio(a, strace_added) if a is not None and strace_added else None,
            "vs_floor": ratio(a, floor_added) if a is not None and floor_added else None,
        }
        measured[name] = m
        cells = [name, f"{r['mean'] * 1e3:.1f}", f"{r['stddev'] * 1e3:.1f}"
                 if r.get("stddev") is not None else "-",
                 fmt_ratio(m["vs_untraced"]), "-" if name == "untraced" else f"{a * 1e3:.1f}",
                 "-" if name in ("untraced", "strace") else fmt_ratio(m["vs_strace"])]
        if suite == "ptrace":
            cells.append(fmt_ratio(m["vs_floor"]) if name == TRACER[suite] else "-")
        strace_cpu_added = cpu_added("strace")
        cells.append(f"{cpu(name) * 1e3:.1f}")
        cells.append(fmt_ratio(ratio(cpu_added(name), strace_cpu_added))
                     if name not in ("untraced", "strace") and strace_cpu_added is not None
                     else "-")
        lines.append("| " + " | ".join(cells) + " |")
    for failed in read_lines(base + ".failed"):
        lines.append(f"\nleft out (failed its checked run): {failed}")

    stops = read_lines(base + ".stops")
    if stops and stops[0].isdigit() and int(stops[0]) > 0:
        n = int(stops[0])
        per = [f"{n} filtered calls (seccomp stops counted by drel-floor-tracer --count)"]
        for name in ("drel-floor-tracer", "strace", TRACER[suite]):
            if added(name) is not None:
                per.append(f"{name} {added(name) / n * 1e6:.1f} µs")
        lines.append("")
        lines.append("added time per filtered call: " + per[0] + ": " + ", ".join(per[1:]))

    lines.append("")
    tracer = measured.get(TRACER[suite])
    for text, key, limit, strict in targets(suite, workload):
        if tracer is None or tracer[key] is None:
            verdict = "NOT MEASURED"
            value = "n/a"
        else:
            value = fmt_ratio(tracer[key])
            ok = tracer[key] < limit if strict else tracer[key] <= limit
            verdict = "met" if ok else "MISSED"
        lines.append(f"- target: {text}: {verdict} ({RATIO_NAMES[key]} = {value})")
    return "\n".join(lines)


def main():
    if len(sys.argv) != 2:
        print("usage: tables.py <results-dir>", file=sys.stderr)
        return 2
    results = sys.argv[1]
    for line in read_lines(os.path.join(results, "environment.txt")):
        print(line)
    print()
    shown = 0
    for suite, workloads in SUITE_WORKLOADS.items():
        for workload in workloads:
            t = table(results, suite, workload)
            if t is not None:
                print(t)
                print()
                shown += 1
    if shown == 0:
        print("no results in " + results, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
