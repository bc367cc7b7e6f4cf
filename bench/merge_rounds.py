#!/usr/bin/env python3
"""Merges hyperfine JSON files of the same commands, timed in rounds, into one.

usage: merge_rounds.py OUT ROUND.json...

Each result keeps its command name; its times are the runs of every round together, mean,
standard deviation, median, min and max are taken over them, and user and system (means per
run in hyperfine's output) are weighted by each round's number of runs.
"""
import json
import statistics
import sys


def merge(parts):
    times = [t for p in parts for t in p["times"]]
    runs = [len(p["times"]) for p in parts]
    merged = dict(parts[0])
    merged.update(
        times=times,
        exit_codes=[c for p in parts for c in p.get("exit_codes") or []],
        mean=statistics.fmean(times),
        stddev=statistics.stdev(times) if len(times) > 1 else None,
        median=statistics.median(times),
        min=min(times),
        max=max(times),
        user=sum(p["user"] * n for p, n in zip(parts, runs)) / sum(runs),
        system=sum(p["system"] * n for p, n in zip(parts, runs)) / sum(runs),
    )
    return merged


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: merge_rounds.py OUT ROUND.json...")
    by_command = {}
    for path in sys.argv[2:]:
        with open(path, encoding="utf-8") as f:
            for r in json.load(f)["results"]:
                by_command.setdefault(r["command"], []).append(r)
    with open(sys.argv[1], "w", encoding="utf-8") as f:
        json.dump({"results": [merge(parts) for parts in by_command.values()]}, f, indent=1)


if __name__ == "__main__":
    main()
