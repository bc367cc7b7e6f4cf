#!/usr/bin/env python3
"""Prints a report (drel-report json output on standard input) with everything that differs
between two runs of the same command taken out: times dropped, and every process id replaced by
a name built from the process's place in the tree (its parent's name, its command, and its rank
among siblings with that command). Two runs of a deterministic command then give the same
digest, so a speed change can be checked to leave the reports as they were:

    drel-report json before.msgpack | bench/report_digest.py >before.txt
    drel-report json after.msgpack | bench/report_digest.py >after.txt
    diff before.txt after.txt
"""
import collections
import json
import sys


def process_names(processes):
    by_pid = {p["pid"]: p for p in processes}
    children = collections.defaultdict(list)
    for p in processes:
        parent = p.get("parent_pid")
        children[parent if parent in by_pid else None].append(p)
    names = {}

    def visit(parent_name, kids):
        seen = collections.Counter()
        for p in sorted(kids, key=lambda q: q["pid"]):
            command = " ".join(p.get("command") or [])
            seen[command] += 1
            name = f"{parent_name}/[{command}]#{seen[command]}"
            names[p["pid"]] = name
            visit(name, children.get(p["pid"], []))

    visit("", children.get(None, []))
    return names


def main():
    report = json.load(sys.stdin)
    names = process_names(report.get("processes", []))

    def name(pid):
        return names.get(pid, f"unknown pid {pid}")

    out = {k: v for k, v in report.items() if k not in ("start_time", "end_time", "processes",
                                                       "files")}
    out["processes"] = sorted(
        ({"name": name(p["pid"]), "env": p.get("env")} for p in report.get("processes", [])),
        key=lambda p: p["name"])
    files = []
    for f in report.get("files", []):
        g = {}
        for key, value in f.items():
            if key.endswith("_threads") and isinstance(value, list):
                g[key] = sorted(name(t) for t in value)
            else:
                g[key] = value
        files.append(g)
    out["files"] = sorted(files, key=lambda f: json.dumps(f, sort_keys=True))
    json.dump(out, sys.stdout, indent=1, sort_keys=True)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
