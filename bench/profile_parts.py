#!/usr/bin/env python3
"""Attributes drel-tracer's CPU samples to the parts of its work, from `perf script -F ip,sym`
output (one call chain per sample, leaf first, blank line between samples): each sample goes to
the first part, searching from the leaf towards main, that one of its frames names.

usage: perf script -F ip,sym -i perf.data | profile_parts.py
"""
import collections
import sys

PARTS = [
    ("process records: /proc reads and record building at fork, clone and exec",
     ["register_process", "register_new_task", "read_process_info", "process_info_from",
      "read_proc_text", "parse_environ"]),
    ("executed files at exec (/proc exe, ELF class, #! script)",
     ["executed_files", "file_head", "interpreter_of", "read_link_text"]),
    ("shared descriptor table check at a new task (kcmp)", ["kcmp"]),
    ("/proc status read (who made a task seen before its creator's event?)",
     ["new_task_origin"]),
    ("register block read (PTRACE_GETREGSET)",
     ["read_syscall_regs", "read_syscall_result", "copy_regset_to_user", "genregs_get"]),
    ("path argument read (process_vm_readv)", ["process_vm_readv", "read_view", "read_string"]),
    ("path resolution (readlink, lstat, realpath)",
     ["resolve_path", "join_and_canonicalise", "cached_cwd", "name_of", "opened_path", "realpath",
      "readlink", "lstat"]),
    ("decoder and descriptor table", ["SyscallDecoder", "FileTracker", "decode_"]),
    ("report building and writing",
     ["write_report", "encode_report", "records", "aggregate", "make_report"]),
    ("waitpid", ["wait4"]),
    ("ptrace resume and event message", ["ptrace"]),
]
OTHER = "other (loop bookkeeping, allocator, start-up)"


def classify(chain):
    for frame in chain:
        for part, patterns in PARTS:
            if any(p in frame for p in patterns):
                return part
    return OTHER


def main():
    counts = collections.Counter()
    chain = []
    for line in sys.stdin:
        if not line.strip():
            if chain:
                counts[classify(chain)] += 1
            chain = []
        elif line[0] in " \t":
            fields = line.split(None, 1)
            chain.append(fields[-1])
    if chain:
        counts[classify(chain)] += 1
    total = sum(counts.values())
    if total == 0:
        print("profile_parts.py: no samples", file=sys.stderr)
        return 1
    print("| part of the tracer's CPU time | share | samples |")
    print("|---|---|---|")
    for part, n in counts.most_common():
        print(f"| {part} | {100 * n / total:.1f}% | {n} |")
    print(f"| total | 100% | {total} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
