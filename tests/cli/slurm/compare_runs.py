#!/usr/bin/env python3
"""Compares the runs of two study directories: the same runs, each with identical
amplitudes.tsv and patterns.tsv bytes and the same run.json apart from its timing.

usage: compare_runs.py REFERENCE OTHER     (exit 0 identical, 1 not)
"""
import json
import os
import sys

TIMING = {"seconds"}  # wall time differs from one computation to the next


def runs(study):
    found = set()
    for root, _dirs, files in os.walk(os.path.join(study, "runs")):
        if "run.json" in files:
            found.add(os.path.relpath(root, study))
    return found


def main(reference, other):
    a, b = runs(reference), runs(other)
    faults = []
    for r in sorted(a - b):
        faults.append(f"{r}: missing from {other}")
    for r in sorted(b - a):
        faults.append(f"{r}: not in {reference}")
    for r in sorted(a & b):
        for name in ("amplitudes.tsv", "patterns.tsv"):
            with open(os.path.join(reference, r, name), "rb") as f1, \
                 open(os.path.join(other, r, name), "rb") as f2:
                if f1.read() != f2.read():
                    faults.append(f"{r}/{name}: differs")
        with open(os.path.join(reference, r, "run.json")) as f1, \
             open(os.path.join(other, r, "run.json")) as f2:
            j1, j2 = json.load(f1), json.load(f2)
        for key in sorted((set(j1) | set(j2)) - TIMING):
            if j1.get(key) != j2.get(key):
                faults.append(f"{r}/run.json: {key} {j1.get(key)!r} != {j2.get(key)!r}")
    if not a:
        faults.append(f"{reference}: no complete run")
    for f in faults:
        print(f, file=sys.stderr)
    if faults:
        return 1
    print(f"{len(a)} runs identical (amplitudes.tsv, patterns.tsv, run.json but its timing)")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
