#!/usr/bin/env python3
"""The Python package's cost over the command on the same study: `zarno run`
(reading the tables, running, writing the runs) against a Python process that
does the same through the package (zarno.read_table, zarno.run on the
DataFrames, Study.save), every round (tolerance 0), alternating, REPS times each; then both with 0
rounds, which leaves their fixed costs. Inside the Python process it times
the parts: importing, converting the inputs, the runs (RunJob), turning the
results into Runs with their DataFrames and the summary, saving.

    bench/python/overhead.py BUILD_DIR [--genes 20000 --samples 200 --ranks 2:8
        --chains 2 --rounds 200 --threads 2 --reps 3]

BUILD_DIR holds bin/zarno and python/zarno (a build with the Python module).
Prints every measurement and a table of medians. Not part of CI: its numbers
depend on the machine's load.
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np


def write_table(path, values, row_prefix):
    """A labelled table the command reads, every number written so that it
    reads back to the same bits."""
    with open(path, "w") as f:
        f.write("gene\t" + "\t".join(f"s{j + 1}" for j in range(values.shape[1])) + "\n")
        for i, row in enumerate(values):
            f.write(f"{row_prefix}{i + 1}\t" + "\t".join(map(repr, row.tolist())) + "\n")


def make_data(directory, genes, samples):
    rng = np.random.default_rng(20000)
    truth = rng.uniform(0, 1, (genes, 5)) @ rng.uniform(0, 1, (5, samples))
    sigma = 0.05 * truth + 0.01
    data = np.abs(truth + sigma * rng.standard_normal(truth.shape))
    write_table(os.path.join(directory, "data.tsv"), data, "g")
    write_table(os.path.join(directory, "unc.tsv"), sigma, "g")


def child(a):
    """The Python side, in a process of its own: prints its figures as JSON."""
    started = time.monotonic()
    import zarno
    from zarno import _inputs
    imported = time.monotonic()
    data = zarno.read_table(os.path.join(a.dir, "data.tsv"))
    sigma = zarno.read_table(os.path.join(a.dir, "unc.tsv"))
    # As pandas' own readers lay a frame out (columns together), so that the
    # conversion below is the copy a notebook's frames need.
    data, sigma = data.copy(), sigma.copy()
    read = time.monotonic()
    _inputs.Inputs(data, sigma)  # the conversion zarno.run makes, timed on its own
    converted = time.monotonic()
    first, last = map(int, a.ranks.split(":"))
    # Every round on both sides (tolerance 0), so that the study's size is fixed.
    study = zarno.run(data, sigma, ranks=(first, last), chains=a.chains, rounds=a.rounds, tolerance=0,
                      threads=a.threads, progress=False)
    ran = time.monotonic()
    for r in study.runs:
        r.amplitudes, r.patterns
    study.summary
    results = time.monotonic()
    study.save(os.path.join(a.dir, "python-study"), survey=False)
    saved = time.monotonic()
    print(json.dumps({
        "import": imported - started, "read": read - imported, "convert": converted - read,
        "run": ran - converted, "runjob": study.seconds, "results": results - ran, "save": saved - results,
        "cpu": time.process_time()}))


def measure(command):
    """(wall, processor) seconds of one process, and what it printed."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu, out


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("build", nargs="?")
    p.add_argument("--genes", type=int, default=20000)
    p.add_argument("--samples", type=int, default=200)
    p.add_argument("--ranks", default="2:8")
    p.add_argument("--chains", type=int, default=2)
    p.add_argument("--rounds", type=int, default=200)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--dir", help=argparse.SUPPRESS)
    a = p.parse_args()
    if a.child:
        return child(a)
    build = os.path.abspath(a.build or "build-bench")
    zarno_command = os.path.join(build, "bin", "zarno")
    env_path = os.path.join(build, "python")
    work = tempfile.mkdtemp(prefix="zarno-python-bench-")
    try:
        make_data(work, a.genes, a.samples)
        rows = {}
        for rounds in (a.rounds, 0):
            for rep in range(a.reps):
                for side in ("command", "python"):
                    out = os.path.join(work, "command-study")
                    shutil.rmtree(out, ignore_errors=True)
                    shutil.rmtree(os.path.join(work, "python-study"), ignore_errors=True)
                    if side == "command":
                        cmd = [zarno_command, "run", os.path.join(work, "data.tsv"), "--uncert",
                               os.path.join(work, "unc.tsv"), "--ranks", a.ranks, "--chains", str(a.chains),
                               "--rounds", str(rounds), "--tolerance", "0", "--threads", str(a.threads), "--quiet",
                               "--no-report",
                               "--out", out]
                    else:
                        cmd = [sys.executable, os.path.abspath(__file__), "--child", "--dir", work, "--ranks",
                               a.ranks, "--chains", str(a.chains), "--rounds", str(rounds), "--threads",
                               str(a.threads)]
                    os.environ["PYTHONPATH"] = env_path
                    wall, cpu, said = measure(cmd)
                    parts = json.loads(said) if side == "python" else {}
                    rows.setdefault((rounds, side), []).append(dict(parts, wall=wall, cpu=cpu))
                    print(rounds, side, f"wall {wall:.2f} s, processor {cpu:.2f} s",
                          " ".join(f"{k} {v:.3f}" for k, v in parts.items()), flush=True)
        report(rows, a)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(rows, a):
    med = lambda rounds, side, key: statistics.median(r[key] for r in rows[(rounds, side)])
    paired = lambda rounds, key: statistics.median(
        p[key] / c[key] for p, c in zip(rows[(rounds, "python")], rows[(rounds, "command")]))
    R = a.rounds
    study = med(R, "python", "runjob")
    beyond = med(R, "python", "run") - study + med(R, "python", "results")
    print(f"\n{a.genes} x {a.samples} weighted, pattern counts {a.ranks}, {a.chains} chains, {R} rounds, "
          f"{a.threads} threads, {a.reps} alternating pairs; medians\n")
    print("| figure | value |\n|---|---|")
    print(f"| `zarno run`: wall, processor | {med(R, 'command', 'wall'):.2f} s, {med(R, 'command', 'cpu'):.2f} s |")
    print(f"| Python (read_table, run, save): wall, processor | {med(R, 'python', 'wall'):.2f} s, "
          f"{med(R, 'python', 'cpu'):.2f} s |")
    print(f"| Python / command, paired: wall, processor | {paired(R, 'wall'):.3f}, {paired(R, 'cpu'):.3f} |")
    print(f"| 0 rounds (fixed cost): command, Python wall | {med(0, 'command', 'wall'):.2f} s, "
          f"{med(0, 'python', 'wall'):.2f} s |")
    print(f"| Python's start: import zarno (and pandas) | {med(R, 'python', 'import'):.3f} s |")
    print(f"| the runs (RunJob) in zarno.run | {study:.2f} s |")
    print(f"| zarno.run beyond RunJob (inputs converted and checked, checksums, runs handed over) | "
          f"{med(R, 'python', 'run') - study:.3f} s |")
    print(f"| of which converting the inputs (two DataFrames into float64 arrays) | "
          f"{med(R, 'python', 'convert'):.3f} s |")
    print(f"| the results as Runs with DataFrames, and the summary | {med(R, 'python', 'results'):.4f} s |")
    print(f"| all of the above beyond the runs, share of the study | {beyond:.3f} s, {100 * beyond / study:.2f}% |")
    print(f"| Study.save (the runs' files, as the command writes them) | {med(R, 'python', 'save'):.2f} s |")


if __name__ == "__main__":
    main()
