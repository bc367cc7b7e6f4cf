#!/usr/bin/env python3
"""Turns bench/run's hyperfine results into one table per workload: the mean time of each tool
and its overhead as ratios, then each target the tracer is held to, met or missed.

usage: tables.py <results-dir>
"""
import json
import math
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


def noise(rows, name):
    """Twice the standard error of (name's mean - untraced mean): an added time below this is
    not told apart from nothing."""
    a, u = rows[name], rows["untraced"]

    def var(r):
        return (r.get("stddev") or 0.0) ** 2 / max(len(r.get("times") or [1]), 1)

    return 2 * math.sqrt(var(a) + var(u))


def resolved(rows, name):
    if name not in rows or "untraced" not in rows:
        return False
    return rows[name]["mean"] - rows["untraced"]["mean"] > noise(rows, name)


def table(results, suite, workload):
    base = os.path.join(results, f"{suite}-{workload}")
    if not os.path.exists(base + ".json"):
        return None
    with open(base + ".json", encoding="utf-8") as f:
        rows = {r["command"]: r for r in json.load(f)["results"]}
    tracer = TRACER[suite]

    def added(name):
        if name not in rows or "untraced" not in rows:
            return None
        return rows[name]["mean"] - rows["untraced"]["mean"]

    def cpu(name):
        return rows[name]["user"] + rows[name]["system"] if name in rows else None

    def cpu_added(name):
        if name not in rows or "untraced" not in rows:
            return None
        return cpu(name) - cpu("untraced")

    def wall_ratio(name, ref):
        # Noise can make an added time tiny or negative; a ratio of such is meaningless.
        if not (resolved(rows, name) and resolved(rows, ref)):
            return None
        return ratio(added(name), added(ref))

    def cpu_ratio(name, ref):
        a, b = cpu_added(name), cpu_added(ref)
        return ratio(a, b) if a is not None and b is not None and a > 0 else None

    ratios = {
        name: {
            "vs_untraced": ratio(rows[name]["mean"], rows["untraced"]["mean"])
            if "untraced" in rows else None,
            "vs_strace": wall_ratio(name, "strace"),
            "vs_floor": wall_ratio(name, "drel-floor-tracer"),
            "cpu_vs_untraced": ratio(cpu(name), cpu("untraced")) if "untraced" in rows else None,
            "cpu_vs_strace": cpu_ratio(name, "strace"),
            "cpu_vs_floor": cpu_ratio(name, "drel-floor-tracer"),
        }
        for name in rows
    }

    lines = [f"### {suite}: {workload} — {WORKLOADS[workload]}", ""]
    header = ["tool", "mean [ms]", "± σ [ms]", "traced / untraced", "added [ms]",
              "added / strace's added"]
    if suite == "ptrace":
        header.append("added / floor's added")
    # CPU time (user + system of the tool and everything it ran) shifts less than wall time
    # when other work shares the cores.
    header += ["cpu [ms]", "cpu added / strace's cpu added"]
    lines.append("| " + " | ".join(header) + " |")
    lines.append("|" + "|".join("---" for _ in header) + "|")
    order = ["untraced", "strace", tracer] + (["drel-floor-tracer"] if suite == "ptrace" else [])
    for name in order:
        if name not in rows:
            continue
        r, m = rows[name], ratios[name]
        cells = [name, f"{r['mean'] * 1e3:.1f}",
                 f"{r['stddev'] * 1e3:.1f}" if r.get("stddev") is not None else "-",
                 fmt_ratio(m["vs_untraced"]),
                 "-" if name == "untraced" else f"{added(name) * 1e3:.1f}"
                 + ("" if resolved(rows, name) else " (noise)"),
                 "-" if name in ("untraced", "strace") else fmt_ratio(m["vs_strace"])]
        if suite == "ptrace":
            cells.append(fmt_ratio(m["vs_floor"]) if name == tracer else "-")
        cells.append(f"{cpu(name) * 1e3:.1f}")
        cells.append("-" if name in ("untraced", "strace") else fmt_ratio(m["cpu_vs_strace"]))
        lines.append("| " + " | ".join(cells) + " |")
    for failed in read_lines(base + ".failed"):
        lines.append(f"\nleft out (failed its checked run): {failed}")

    stops = read_lines(base + ".stops")
    if stops and stops[0].isdigit() and int(stops[0]) > 0:
        n = int(stops[0])
        per = [f"{name} {added(name) / n * 1e6:.1f} µs"
               for name in ("drel-floor-tracer", "strace", tracer) if resolved(rows, name)]
        lines.append("")
        lines.append(f"{n} filtered calls (seccomp stops, counted by drel-floor-tracer --count); "
                     "added wall time per filtered call: " + (", ".join(per) or "within noise"))

    lines.append("")
    for text, key, limit, strict in targets(suite, workload):
        value = ratios.get(tracer, {}).get(key)
        cpu_value = ratios.get(tracer, {}).get("cpu_" + key)
        ref = "drel-floor-tracer" if key == "vs_floor" else "strace"
        if value is None and key != "vs_untraced" and tracer in rows and resolved(rows, ref) \
                and not resolved(rows, tracer):
            # The tracer's added time is lost in the noise but the reference's is not: the noise
            # bounds the ratio from above.
            bound = noise(rows, tracer) / added(ref)
            ok = bound < limit if strict else bound <= limit
            verdict = (f"met (added time within the noise, ratio below {bound:.2f})" if ok
                       else f"NOT RESOLVED (added time within the noise, ratio below {bound:.2f})")
        elif value is None:
            verdict = "NOT RESOLVED (added times within the timing noise)" if tracer in rows \
                else "NOT MEASURED"
        else:
            ok = value < limit if strict else value <= limit
            verdict = "met" if ok else "MISSED"
        lines.append(f"- target: {text}: {verdict} ({RATIO_NAMES[key]} = {fmt_ratio(value)}; "
                     f"on CPU time {fmt_ratio(cpu_value)})")
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
