"""A study of a single-cell-sized unweighted table through zarno run: memory
and time of the Gram form, beside what the weighted path would need.

    python3 large_study.py --zarno ZARNO [--work DIR] [--genes 2000]
        [--samples 100000] [--ranks 5:10] [--chains 10] [--rounds 5]

Writes synthetic data (8 gamma-distributed programs, multiplicative noise;
GENES x SAMPLES, about 1.4 GB of text at the default size) into WORK (default
/tmp/zarno-large; never committed), then runs every run of the study at once
(--threads = runs: all chains that fit, which zarno run lowers itself when
memory is short) and prints the peak resident memory of the whole process,
its wall time, the mean time per round of a run, and the memory the same
study would need on the weighted path (the classic round's reconstruction per
run), by the formulas zarno run plans with (docs/command.md).
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import time

import numpy as np


def write_table(path, genes, samples):
    rng = np.random.default_rng(100000)
    a = rng.gamma(0.6, 1.0, (genes, 8))
    p = rng.gamma(0.6, 1.0, (8, samples))
    with open(path, "w") as f:
        f.write("gene\t" + "\t".join("c%d" % (s + 1) for s in range(samples)) + "\n")
        for g0 in range(0, genes, 50):
            block = (a[g0:g0 + 50] @ p) * rng.lognormal(0.0, 0.2, (min(50, genes - g0), samples))
            for i, row in enumerate(block):
                f.write("g%d\t" % (g0 + i + 1))
                f.write("\t".join(np.char.mod("%.4g", row)) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--zarno", required=True)
    ap.add_argument("--work", default="/tmp/zarno-large")
    ap.add_argument("--genes", type=int, default=2000)
    ap.add_argument("--samples", type=int, default=100000)
    ap.add_argument("--ranks", default="5:10")
    ap.add_argument("--chains", type=int, default=10)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    os.makedirs(args.work, exist_ok=True)
    data = os.path.join(args.work, "data_%dx%d.txt" % (args.genes, args.samples))
    if not os.path.exists(data):
        print("writing %s ..." % data)
        write_table(data + ".part", args.genes, args.samples)
        os.rename(data + ".part", data)
    first, last = (int(x) for x in args.ranks.split(":"))
    runs = (last - first + 1) * args.chains
    out = os.path.join(args.work, "study")
    shutil.rmtree(out, ignore_errors=True)
    cmd = ["/usr/bin/time", "-v", args.zarno, "run", data, "--ranks", args.ranks, "--chains",
           str(args.chains), "--rounds", str(args.rounds), "--threads", str(runs),
           "--threads-per-run", "1", "--out", out, "--no-report", "--quiet"]
    start = time.perf_counter()
    proc = subprocess.run(cmd, stderr=subprocess.PIPE, universal_newlines=True)
    wall = time.perf_counter() - start
    if proc.returncode != 0:
        raise SystemExit(proc.stderr[-3000:])
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", proc.stderr).group(1)) * 1024
    said = [l for l in proc.stderr.splitlines() if l.startswith("zarno:")]
    per_round = []
    for root, _, files in os.walk(os.path.join(out, "runs")):
        if "run.json" in files:
            with open(os.path.join(root, "run.json")) as f:
                j = json.load(f)
            per_round.append(j["seconds"] / max(1, j["rounds"]))
    g, s = args.genes, args.samples
    gs = 8 * g * s
    # The weighted path's run keeps the reconstruction (8 x genes x samples)
    # besides its matrices; the table itself is shared either way.
    weighted_need = gs + runs * gs
    print("study: %dx%d unweighted, pattern counts %s, %d chains, %d rounds: %d runs at once"
          % (g, s, args.ranks, args.chains, args.rounds, runs))
    for line in said:
        print("  " + line)
    print("peak resident memory of zarno run: %.2f GB (the table alone: %.2f GB)"
          % (rss / 1e9, gs / 1e9))
    print("wall time: %.1f s; per round of a run, mean over the %d runs (all sharing the "
          "machine's cores): %.2f s" % (wall, len(per_round), sum(per_round) / len(per_round)))
    print("the weighted path (--arithmetic classic) would need about %.1f GB for the same %d "
          "runs at once: the table plus a %.2f GB reconstruction per run" % (
              weighted_need / 1e9, runs, gs / 1e9))


if __name__ == "__main__":
    main()
