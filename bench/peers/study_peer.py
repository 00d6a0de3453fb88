"""A whole rank survey, as users of R's NMF package run one, against zarno run.

    python3 study_peer.py --zarno ZARNO [--work DIR] [--runs 10] [--cores 1,2]

Writes synthetic data of a small public leukemia expression set's shape
(5000 genes x 38 samples, 4 programs of gamma-distributed activity,
multiplicative noise; uncertainties that grow with the value), then times, per
core count, the whole study of pattern counts 2 to 5 with RUNS runs each:
R's NMF package with its default method and its own convergence stop
(nmf_study.R), and zarno run with its fixed 2000 rounds and with the
convergence stop, weighted by the uncertainties and without them. Each time is
the wall-clock time of the whole process: starting it, reading the data, the
runs, and for zarno its files, survey and report. With RcppML installed
(Debian r-cran-rcppml), also its study (rcppml_study.R: 10 seeds per count,
its default stop, one thread), and zarno unweighted in both arithmetics.

Prints a table: seconds, the ratio to R's time on as many cores, the rounds a
run used, and each tool's cophenetic correlation per pattern count; zarno's
suggested count besides (the data hold 4 programs); and the adjusted Rand
index of each tool's sample clusters at 4 patterns against the generating
groups, every tool's consensus matrix cut by the same rule (average linkage
on 1 - consensus into 4 clusters).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
GENES, SAMPLES, PROGRAMS = 5000, 38, 4
FIRST, LAST = 2, 5


def write_matrix(path, m):
    with open(path, "w") as f:
        f.write("gene\t" + "\t".join("s%02d" % (s + 1) for s in range(m.shape[1])) + "\n")
        for g, row in enumerate(m):
            f.write("g%04d\t" % (g + 1) + "\t".join("%.9g" % v for v in row) + "\n")


def leukemia_shaped(work):
    """Four programs, each active mostly in its own quarter of the samples."""
    rng = np.random.default_rng(38)
    a = rng.gamma(0.8, 1.0, (GENES, PROGRAMS))
    owner = np.arange(SAMPLES) * PROGRAMS // SAMPLES
    level = np.where(owner[None, :] == np.arange(PROGRAMS)[:, None], 3.0, 0.3)
    p = level * rng.gamma(0.8, 1.0, (PROGRAMS, SAMPLES))
    data = (a @ p) * rng.lognormal(0.0, 0.15, (GENES, SAMPLES))
    sigma = 0.05 + 0.15 * data
    paths = os.path.join(work, "leukemia.txt"), os.path.join(work, "leukemia.unc")
    write_matrix(paths[0], data)
    write_matrix(paths[1], sigma)
    return paths


def groups():
    """The generating group (program) of each sample."""
    return np.arange(SAMPLES) * PROGRAMS // SAMPLES


def agreement(consensus):
    """Adjusted Rand index of a consensus matrix cut into PROGRAMS clusters
    (average linkage on 1 - consensus) against the generating groups."""
    from scipy.cluster.hierarchy import fcluster, linkage
    from scipy.spatial.distance import squareform
    from sklearn.metrics import adjusted_rand_score
    c = np.asarray(consensus, dtype=float)
    d = 1.0 - (c + c.T) / 2.0
    np.fill_diagonal(d, 0.0)
    tree = linkage(squareform(np.clip(d, 0.0, None), checks=False), method="average")
    return adjusted_rand_score(groups(), fcluster(tree, PROGRAMS, criterion="maxclust"))


def find_consensus(node, patterns):
    """The consensus matrix of `patterns` anywhere in zarno's survey.json."""
    if isinstance(node, dict):
        if node.get("patterns") == patterns and isinstance(node.get("consensus"), list):
            return node["consensus"]
        node = list(node.values())
    if isinstance(node, list):
        for x in node:
            found = find_consensus(x, patterns)
            if found is not None:
                return found
    return None


def timed(cmd):
    start = time.perf_counter()
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    seconds = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (" ".join(cmd), proc.returncode,
                                                   proc.stderr[-3000:]))
    return seconds, proc.stdout


def r_study(data, runs, cores):
    seconds, out = timed(["Rscript", os.path.join(HERE, "nmf_study.R"), data, str(FIRST),
                          str(LAST), str(runs), str(cores)])
    r = json.loads(out.strip().splitlines()[-1])
    return {
        "seconds": seconds,
        "rounds": "%d-%d" % (min(x["iterations"] for x in r["ranks"]),
                             max(x["iterations"] for x in r["ranks"])),
        "cophenetic": {x["rank"]: x["cophenetic"] for x in r["ranks"]},
        "suggested": None,
        "ari": next((agreement(x["consensus"]) for x in r["ranks"]
                     if x["rank"] == PROGRAMS and "consensus" in x), None),
        "label": "R NMF %s, %s, its own stop" % (r["version"], r["method"]),
    }


def rcppml_study(data, runs):
    seconds, out = timed(["Rscript", os.path.join(HERE, "rcppml_study.R"), data, str(FIRST),
                          str(LAST), str(runs)])
    r = json.loads(out.strip().splitlines()[-1])
    iters = [i for x in r["ranks"] for i in x["iterations"]]
    return {
        "seconds": seconds,
        "rounds": "%d-%d (mean %d)" % (min(iters), max(iters), sum(iters) / len(iters)),
        "cophenetic": {},
        "suggested": None,
        "ari": next(agreement(x["consensus"]) for x in r["ranks"] if x["rank"] == PROGRAMS),
        "label": "RcppML %s, its own stop (tol 1e-4)" % r["version"],
    }


def zarno_study(zarno, data, sigma, runs, cores, tolerance, out, arithmetic="gram"):
    shutil.rmtree(out, ignore_errors=True)
    cmd = [zarno, "run", data, "--ranks", "%d:%d" % (FIRST, LAST), "--chains", str(runs),
           "--threads", str(cores), "--out", out, "--quiet", "--arithmetic", arithmetic]
    if sigma:
        cmd += ["--uncert", sigma]
    # "0" for every round: without the flag the command stops at its default 1e-6.
    cmd += ["--tolerance", repr(tolerance) if tolerance else "0"]
    seconds, _ = timed(cmd)
    with open(os.path.join(out, "survey.json")) as f:
        survey = json.load(f)
    rounds = [r["rounds"] for r in survey["runs"]]
    cophenetic = {}
    with open(os.path.join(out, "survey.tsv")) as f:
        head = f.readline().rstrip("\n").split("\t")
        for line in f:
            row = dict(zip(head, line.rstrip("\n").split("\t")))
            cophenetic[int(row["patterns"])] = float(row["cophenetic"])
    return {
        "seconds": seconds,
        "rounds": "%d" % rounds[0] if min(rounds) == max(rounds) else
                  "%d-%d (mean %d)" % (min(rounds), max(rounds), sum(rounds) / len(rounds)),
        "cophenetic": cophenetic,
        "suggested": survey.get("suggested_patterns"),
        "ari": (lambda c: agreement(c) if c else None)(find_consensus(survey, PROGRAMS)),
        "label": "zarno run, %s, %s" % (
            "weighted" if sigma else "unweighted, " + arithmetic,
            "fixed 2000 rounds" if not tolerance else "--tolerance %g" % tolerance),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--zarno", required=True, help="the zarno command")
    ap.add_argument("--work", default=None, help="where the data and run directories go "
                    "(default: a folder beside the zarno command)")
    ap.add_argument("--runs", type=int, default=10, help="runs (chains) per pattern count (10)")
    ap.add_argument("--cores", default="1,2", help="core counts to compare on (1,2)")
    args = ap.parse_args()
    if shutil.which("Rscript") is None:
        sys.exit("Rscript is missing: apt-get install r-cran-nmf")
    work = args.work or os.path.join(os.path.dirname(os.path.abspath(args.zarno)), "..",
                                     "study-peer")
    os.makedirs(work, exist_ok=True)
    data, sigma = leukemia_shaped(work)
    cores = [int(c) for c in args.cores.split(",")]

    rows = []
    load_before = os.getloadavg()
    for n in cores:
        print("Studies on %d core%s ..." % (n, "" if n == 1 else "s"), file=sys.stderr)
        peer = r_study(data, args.runs, n)
        peer.update(cores=n, ratio=1.0)
        rows.append(peer)
        if n == 1 and shutil.which("Rscript") and subprocess.run(
                ["Rscript", "-e", "library(RcppML)"], stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL).returncode == 0:
            ml = rcppml_study(data, args.runs)
            ml.update(cores=1, ratio=peer["seconds"] / ml["seconds"])
            rows.append(ml)
        for s, tol, how in ((sigma, 0.0, "gram"), (sigma, 1e-6, "gram"), (sigma, 1e-4, "gram"),
                            (None, 1e-6, "classic"), (None, 1e-6, "gram"), (None, 1e-4, "classic"),
                            (None, 1e-4, "gram")):
            z = zarno_study(args.zarno, data, s, args.runs, n, tol,
                            os.path.join(work, "zarno-%d" % n), how)
            z.update(cores=n, ratio=peer["seconds"] / z["seconds"])
            rows.append(z)
    load_after = os.getloadavg()

    print()
    print("A whole study: %dx%d leukemia-shaped data (%d programs), pattern counts %d-%d, %d runs "
          "each; wall-clock seconds of the whole process" % (GENES, SAMPLES, PROGRAMS, FIRST, LAST,
                                                             args.runs))
    print("R / zarno: R's time on as many cores over this row's (above 1: zarno is faster). "
          "Rounds: per run for zarno; for R, its best run's iterations per count.")
    counts = range(FIRST, LAST + 1)
    print("%-5s %-52s %9s %9s %-22s %s %s %s" % (
        "cores", "study", "seconds", "R/this", "rounds", " ".join("coph.%d" % k for k in counts),
        "suggests", "ARI@%d" % PROGRAMS))
    for r in rows:
        print("%-5d %-52s %9.1f %8.2fx %-22s %s %8s %6s" % (
            r["cores"], r["label"], r["seconds"], r["ratio"], r["rounds"],
            " ".join("%6.3f" % r["cophenetic"][k] if k in r["cophenetic"] else "     -"
                     for k in counts),
            "-" if r["suggested"] is None else r["suggested"],
            "-" if r.get("ari") is None else "%.2f" % r["ari"]))
    print("Load average (1, 5, 15 min) before: %.2f %.2f %.2f, after: %.2f %.2f %.2f" % (
        load_before + load_after))


if __name__ == "__main__":
    main()
