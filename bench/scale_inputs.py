#!/usr/bin/env python3
"""Creates the inputs of the build-scale workloads, once per size (a finished tree is kept and
reused, so only the first bench run pays for it).

usage: scale_inputs.py files <dir> <count>    <count> distinct small files, 500 per directory
       scale_inputs.py make <dir> <targets>   a makefile of <targets> tiny rules, each one sh
                                              and one cat reading two inputs into an output
"""
import os
import sys

PER_DIR = 500

MAKEFILE = """\
# Each rule: make starts sh for the redirection, sh starts cat; cat opens two inputs and the
# shell opens the output, as a compiler step would.
OBJS := $(patsubst in/%.c,out/%.o,$(wildcard in/*.c))
all: $(OBJS)
out/%.o: in/%.c in/common.h
\tcat in/common.h $< >$@
"""


def done_marker(root):
    # Beside the tree, not in it: find would list it.
    return os.path.normpath(root) + ".complete"


def make_files(root, count):
    for i in range(count):
        d = os.path.join(root, f"d{i // PER_DIR:04d}")
        if i % PER_DIR == 0:
            os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, f"f{i:06d}.txt"), "w", encoding="ascii") as f:
            f.write(f"file {i} of {count}\n")


def make_targets(root, targets):
    os.makedirs(os.path.join(root, "in"), exist_ok=True)
    os.makedirs(os.path.join(root, "out"), exist_ok=True)
    with open(os.path.join(root, "in", "common.h"), "w", encoding="ascii") as f:
        f.write("#define COMMON 1\n")
    for i in range(targets):
        with open(os.path.join(root, "in", f"t{i:05d}.c"), "w", encoding="ascii") as f:
            f.write(f"int t{i}(void) {{ return {i}; }}\n")
    with open(os.path.join(root, "Makefile"), "w", encoding="ascii") as f:
        f.write(MAKEFILE)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("files", "make") or not sys.argv[3].isdigit():
        print(__doc__.strip(), file=sys.stderr)
        return 2
    kind, root, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if os.path.exists(done_marker(root)):
        return 0
    os.makedirs(root, exist_ok=True)
    (make_files if kind == "files" else make_targets)(root, n)
    with open(done_marker(root), "w", encoding="ascii"):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
