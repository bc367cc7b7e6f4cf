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
SUITE_WORKLOADS = {"preload": ["dd", "tar", "procs"], "ptrace": ["dd", "tar", "procs"]}
# Build scale: each family at two sizes, named <family>-<size>.
SCALE_FAMILIES = {
    "files": ("distinct files read by find DIR -type f -exec cat {} +", "file", "files"),
    "make": ("make -s -B -j2 of tiny rules, each sh + cat reading two files into a third",
             "process", "processes"),
}
RATIO_NAMES = {"vs_untraced": "traced / untraced", "vs_strace": "added / strace's added",
               "vs_floor": "added / floor's added",
               "vs_registers": "added / registers floor's added",
               "vs_preload_floor": "added / preload floor's added"}
# drel-floor-tracer --registers: the floor plus what an exact tracer cannot skip (the registers
# at every stop, the exit stop of every call that makes a descriptor).
REGISTERS_FLOOR = "drel-floor-registers"
# An empty library preloaded into every process: what any interposition library costs.
PRELOAD_FLOOR = "drel-preload-floor"
TRACER = {"preload": "drel-tracer-preload", "ptrace": "drel-tracer"}


def targets(suite, workload):
    """(description, key, limit, strict): the ratio `key` must stay below (strict) or at most
    `limit`."""
    if suite == "preload":
        out = [("added time at most 1/4 of strace's", "vs_strace", 0.25, False)]
        if workload == "tar":
            out.append(("traced under 1.5x untraced", "vs_untraced", 1.5, True))
        return out
    if workload == "procs":
        return [("added time within 1.25x the floor's", "vs_floor", 1.25, False),
                ("added time below 0.8 of strace's", "vs_strace", 0.8, True)]
    return [("added time within 1.15x the floor's", "vs_floor", 1.15, False)]


def scale_units(workload):
    """The family of a build-scale workload and how many files or processes it has."""
    family, _, size = workload.partition("-")
    if family not in SCALE_FAMILIES or not size.isdigit():
        return None
    n = int(size)
    # make-N: N rules, each an sh and a cat, and make itself.
    return family, (2 * n + 1 if family == "make" else n)


def read_sizes(base):
    """tool -> (max RSS in KiB, report bytes, processes, files) from bench/run's checked runs."""
    out = {}
    for line in read_lines(base + ".sizes"):
        parts = line.split()
        if len(parts) != 5:
            continue
        out[parts[0]] = tuple(int(p) if p.isdigit() else None for p in parts[1:])
    return out


def fmt_mb(n, scale=1):
    return "-" if n is None else f"{n * scale / 1e6:.1f}"


def load_line(base):
    load = read_lines(base + ".load")
    return f"load average (1 min) before / after: {' / '.join(load)}" if load else None


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


def load_rows(base):
    if not os.path.exists(base + ".json"):
        return None
    with open(base + ".json", encoding="utf-8") as f:
        return {r["command"]: r for r in json.load(f)["results"]}


def table(results, suite, workload):
    base = os.path.join(results, f"{suite}-{workload}")
    rows = load_rows(base)
    if rows is None:
        return None
    tracer = TRACER[suite]
    sizes = read_sizes(base)

    def added(name):
        if name not in rows or "untraced" not in rows:
            return None
        return rows[name]["mean"] - rows["untraced"]["mean"]

    def cpu(name):
        return rows[name]["user"] + rows[name]["system"] if name in rows else None

    # Bursts of steal time on a shared machine hit a few runs hard: the median resists them.
    def median_added(name):
        if name not in rows or "untraced" not in rows:
            return None
        return rows[name]["median"] - rows["untraced"]["median"]

    def median_ratio(name, ref):
        a, b = median_added(name), median_added(ref)
        if a is None or b is None or not (resolved(rows, name) and resolved(rows, ref)):
            return None
        return ratio(a, b)

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

    # Every ratio three ways: of the wall times' means, of the CPU times, of the medians.
    measures = {"": (wall_ratio, lambda n: rows[n]["mean"]), "cpu_": (cpu_ratio, cpu),
                "median_": (median_ratio, lambda n: rows[n]["median"])}
    references = {"strace": "strace", "floor": "drel-floor-tracer",
                  "registers": REGISTERS_FLOOR, "preload_floor": PRELOAD_FLOOR}
    ratios = {}
    for name in rows:
        m = ratios[name] = {}
        for prefix, (ratio_to, level) in measures.items():
            m[prefix + "vs_untraced"] = ratio(level(name), level("untraced")) \
                if "untraced" in rows else None
            for key, ref in references.items():
                m[f"{prefix}vs_{key}"] = ratio_to(name, ref)

    lines = [f"### {suite}: {workload} — {WORKLOADS[workload]}", ""]
    header = ["tool", "mean [ms]", "± σ [ms]", "median [ms]", "traced / untraced", "added [ms]",
              "added / strace's added"]
    if suite == "ptrace":
        header += ["added / floor's added", "added / registers floor's added"]
    else:
        header += [RATIO_NAMES["vs_preload_floor"]]
    # CPU time (user + system of the tool and everything it ran) shifts less than wall time
    # when other work shares the cores.
    header += ["cpu [ms]", "cpu added / strace's cpu added", "max RSS [MB]"]
    lines.append("| " + " | ".join(header) + " |")
    lines.append("|" + "|".join("---" for _ in header) + "|")
    order = ["untraced", "strace", tracer] + (["drel-floor-tracer", REGISTERS_FLOOR]
                                              if suite == "ptrace" else [PRELOAD_FLOOR])
    for name in order:
        if name not in rows:
            continue
        r, m = rows[name], ratios[name]
        cells = [name, f"{r['mean'] * 1e3:.1f}",
                 f"{r['stddev'] * 1e3:.1f}" if r.get("stddev") is not None else "-",
                 f"{r['median'] * 1e3:.1f}",
                 fmt_ratio(m["vs_untraced"]),
                 "-" if name == "untraced" else f"{added(name) * 1e3:.1f}"
                 + ("" if resolved(rows, name) else " (noise)"),
                 "-" if name in ("untraced", "strace") else fmt_ratio(m["vs_strace"])]
        if suite == "ptrace":
            cells.append(fmt_ratio(m["vs_floor"]) if name in (tracer, REGISTERS_FLOOR) else "-")
            cells.append(fmt_ratio(m["vs_registers"]) if name == tracer else "-")
        else:
            cells.append(fmt_ratio(m["vs_preload_floor"]) if name == tracer else "-")
        cells.append(f"{cpu(name) * 1e3:.1f}")
        cells.append("-" if name in ("untraced", "strace") else fmt_ratio(m["cpu_vs_strace"]))
        cells.append(fmt_mb(sizes.get(name, (None,))[0], 1024))
        lines.append("| " + " | ".join(cells) + " |")
    for failed in read_lines(base + ".failed"):
        lines.append(f"\nleft out (failed its checked run): {failed}")

    stops = read_lines(base + ".stops")
    if stops and stops[0].isdigit() and int(stops[0]) > 0:
        n = int(stops[0])
        per = [f"{name} {added(name) / n * 1e6:.1f} µs"
               for name in ("drel-floor-tracer", REGISTERS_FLOOR, "strace", tracer)
               if resolved(rows, name)]
        lines.append("")
        lines.append(f"{n} filtered calls (seccomp stops, counted by drel-floor-tracer --count); "
                     "added wall time per filtered call: " + (", ".join(per) or "within noise"))

    if load_line(base):
        lines += ["", load_line(base)]
    lines.append("")
    for text, key, limit, strict in targets(suite, workload):
        value = ratios.get(tracer, {}).get(key)
        cpu_value = ratios.get(tracer, {}).get("cpu_" + key)
        median_value = ratios.get(tracer, {}).get("median_" + key)
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
                     f"on CPU time {fmt_ratio(cpu_value)}; on medians {fmt_ratio(median_value)})")
    if suite == "preload" and PRELOAD_FLOOR in rows:
        m = ratios.get(tracer, {})
        lines.append(f"- no target: {RATIO_NAMES['vs_preload_floor']} = "
                     f"{fmt_ratio(m.get('vs_preload_floor'))} (on CPU time "
                     f"{fmt_ratio(m.get('cpu_vs_preload_floor'))}; on medians "
                     f"{fmt_ratio(m.get('median_vs_preload_floor'))}): what drel-tracer-preload adds"
                     " beyond preloading an empty library into every process")
    if suite == "ptrace" and REGISTERS_FLOOR in rows:
        m = ratios.get(tracer, {})
        lines.append(f"- no target: {RATIO_NAMES['vs_registers']} = {fmt_ratio(m.get('vs_registers'))}"
                     f" (on CPU time {fmt_ratio(m.get('cpu_vs_registers'))}; on medians "
                     f"{fmt_ratio(m.get('median_vs_registers'))}): what drel-tracer"
                     " adds beyond reading every call and every new descriptor")
    return "\n".join(lines)


SCALE_ORDER = ["untraced", "drel-tracer-preload", "drel-tracer", "drel-floor-tracer"]


def scale_table(results, workload):
    base = os.path.join(results, f"scale-{workload}")
    rows = load_rows(base)
    units = scale_units(workload)
    if rows is None or units is None or "untraced" not in rows:
        return None
    family, n = units
    sizes = read_sizes(base)
    untraced = rows["untraced"]

    def cpu(r):
        return r["user"] + r["system"]

    desc, _, units_name = SCALE_FAMILIES[family]
    lines = [f"### scale: {workload} — {n} {units_name}: {desc}", ""]
    header = ["tool", "mean [s]", "± σ [s]", "traced / untraced", "added [s]",
              "added / floor's added", "cpu [s]", "cpu added / floor's cpu added",
              "max RSS [MB]", "report [MB]", "processes / files in report"]
    lines.append("| " + " | ".join(header) + " |")
    lines.append("|" + "|".join("---" for _ in header) + "|")
    floor = rows.get("drel-floor-tracer")
    for name in SCALE_ORDER:
        if name not in rows:
            continue
        r = rows[name]
        added = r["mean"] - untraced["mean"]
        cpu_added = cpu(r) - cpu(untraced)
        vs_floor = cpu_vs_floor = None
        if floor is not None and name in ("drel-tracer", "drel-tracer-preload"):
            if resolved(rows, name) and resolved(rows, "drel-floor-tracer"):
                vs_floor = ratio(added, floor["mean"] - untraced["mean"])
            cpu_vs_floor = ratio(cpu_added, cpu(floor) - cpu(untraced))
        rss, report, procs, files = sizes.get(name, (None, None, None, None))
        lines.append("| " + " | ".join([
            name, f"{r['mean']:.2f}",
            f"{r['stddev']:.2f}" if r.get("stddev") is not None else "-",
            fmt_ratio(ratio(r["mean"], untraced["mean"])),
            "-" if name == "untraced" else f"{added:.2f}" + ("" if resolved(rows, name)
                                                             else " (noise)"),
            fmt_ratio(vs_floor) if vs_floor is not None else "-",
            f"{cpu(r):.2f}",
            fmt_ratio(cpu_vs_floor) if cpu_vs_floor is not None else "-",
            fmt_mb(rss, 1024), fmt_mb(report),
            f"{procs} / {files}" if procs is not None else "-"]) + " |")
    for failed in read_lines(base + ".failed"):
        lines.append(f"\nleft out (failed its checked run): {failed}")
    stops = read_lines(base + ".stops")
    extra = []
    if stops and stops[0].isdigit():
        extra.append(f"{int(stops[0])} filtered calls (drel-floor-tracer --count)")
    if load_line(base):
        extra.append(load_line(base))
    if extra:
        lines += [""] + ["; ".join(extra)]
    return "\n".join(lines)


def growth(results):
    """Per family, how each tool's cost grows from the smaller size to the larger: the
    difference of the two runs divided by the difference in files or processes."""
    by_family = {}
    for name in sorted(os.listdir(results)):
        if name.startswith("scale-") and name.endswith(".json"):
            workload = name[len("scale-"):-len(".json")]
            units = scale_units(workload)
            if units:
                by_family.setdefault(units[0], []).append((units[1], workload))
    lines = []
    for family, sizes in by_family.items():
        if len(sizes) < 2:
            continue
        (n0, w0), (n1, w1) = sorted(sizes)[0], sorted(sizes)[-1]
        _, unit, units_name = SCALE_FAMILIES[family]
        r0, r1 = load_rows(os.path.join(results, f"scale-{w0}")), \
            load_rows(os.path.join(results, f"scale-{w1}"))
        s0, s1 = read_sizes(os.path.join(results, f"scale-{w0}")), \
            read_sizes(os.path.join(results, f"scale-{w1}"))
        dn = n1 - n0
        lines += [f"### scale: growth per {unit}, {w0} → {w1} ({dn} more {units_name})", "",
                  f"| tool | wall per {unit} [µs] | added wall per {unit} [µs] | "
                  f"added cpu per {unit} [µs] | max RSS per {unit} [bytes] | "
                  f"report per {unit} [bytes] |",
                  "|---|---|---|---|---|---|"]
        for name in SCALE_ORDER:
            if name not in r0 or name not in r1 or "untraced" not in r0 or "untraced" not in r1:
                continue

            def cpu(r):
                return r["user"] + r["system"]

            wall = (r1[name]["mean"] - r0[name]["mean"]) / dn * 1e6
            added = ((r1[name]["mean"] - r1["untraced"]["mean"])
                     - (r0[name]["mean"] - r0["untraced"]["mean"])) / dn * 1e6
            cpu_added = ((cpu(r1[name]) - cpu(r1["untraced"]))
                         - (cpu(r0[name]) - cpu(r0["untraced"]))) / dn * 1e6
            a, b = s0.get(name, (None,) * 4), s1.get(name, (None,) * 4)
            rss = "-" if a[0] is None or b[0] is None else f"{(b[0] - a[0]) * 1024 / dn:.0f}"
            rep = "-" if a[1] is None or b[1] is None else f"{(b[1] - a[1]) / dn:.0f}"
            lines.append(f"| {name} | {wall:.1f} | "
                         + ("-" if name == "untraced" else f"{added:.1f}") + " | "
                         + ("-" if name == "untraced" else f"{cpu_added:.1f}")
                         + f" | {rss} | {rep} |")
        lines.append("")
    return "\n".join(lines) if lines else None


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
    scale = sorted({n[len("scale-"):-len(".json")] for n in os.listdir(results)
                    if n.startswith("scale-") and n.endswith(".json")},
                   key=lambda w: (scale_units(w) or ("", 0)))
    for workload in scale:
        t = scale_table(results, workload)
        if t is not None:
            print(t)
            print()
            shown += 1
    g = growth(results)
    if g:
        print(g)
    if shown == 0:
        print("no results in " + results, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
