#!/usr/bin/env python3
"""Traced over untraced time of one workload, measured in alternation: each pair runs the
untraced command, then the traced one, so that a drift of the machine between hyperfine's
blocks of runs cannot move the ratio. Prints the median of the pairs' ratios (wall and CPU).

usage: interleaved_ratio.py <bin-dir> [pairs] [shell command]
  default pairs 30, default command: tar of /usr/include into a pipe
"""
import resource
import time
import statistics
import subprocess
import sys


def run(argv):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(argv, check=True, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    bin_dir = sys.argv[1]
    pairs = int(sys.argv[2]) if len(sys.argv) > 2 else 30
    shell = sys.argv[3] if len(sys.argv) > 3 else "tar cf - /usr/include | cat >/dev/null"
    untraced = ["sh", "-c", shell]
    traced = [bin_dir + "/drel-tracer-preload", "/tmp/drel-interleaved.msgpack"] + untraced
    for _ in range(3):
        run(untraced)
        run(traced)
    wall, cpu, u_wall, t_wall = [], [], [], []
    for _ in range(pairs):
        u, t = run(untraced), run(traced)
        wall.append(t[0] / u[0])
        cpu.append(t[1] / u[1])
        u_wall.append(u[0])
        t_wall.append(t[0])
    q = statistics.quantiles(wall)
    print(f"{pairs} pairs: wall ratio median {statistics.median(wall):.2f} "
          f"(quartiles {q[0]:.2f}-{q[2]:.2f}), CPU ratio median {statistics.median(cpu):.2f}; "
          f"untraced median {statistics.median(u_wall) * 1e3:.1f} ms, "
          f"traced {statistics.median(t_wall) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
