"""One run that times ZARNO's update round against the literal loops it must
match and against its peers, at the same sizes and rounds, on one core; then
one run on one and on two threads.

Run through compare.sh, which installs what this needs and builds the
benchmark binary. Prints seconds per round (medians), the ratios, the floors
that bound the round (memory bandwidth and unfused arithmetic), and the
threaded figures with a memory-bandwidth model for more threads; then, with
--zarno, a whole study through zarno run against R's NMF package
(study_peer.py).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = [(2000, 50, 3), (5000, 38, 3), (5000, 100, 5), (20000, 200, 8)]
THREADED = [(20000, 200, 8), (60000, 2000, 10)]
# The unweighted round in Gram form on one and two threads.
GRAM_THREADED = [(20000, 200, 8), (2000, 100000, 10)]

# One thread for every BLAS and OpenMP runtime: the single-core table runs
# the engine on one thread too.
ONE_THREAD = {k: "1" for k in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS",
                               "BLIS_NUM_THREADS", "GOTO_NUM_THREADS")}


def run(cmd, env=None, timeout=3600):
    full_env = dict(os.environ, **ONE_THREAD)
    if env:
        full_env.update(env)
    proc = subprocess.run(cmd, env=full_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s" % (" ".join(cmd), proc.returncode, proc.stderr[-3000:]))
    return proc.stdout


def bench_times(binary, filt, rounds, reps, clock):
    """Medians from the Google Benchmark binary, in seconds per iteration."""
    key = "cpu_time" if clock == "cpu" else "real_time"
    out = run([binary, "--rounds=%d" % rounds, "--benchmark_filter=" + filt,
               "--benchmark_repetitions=%d" % reps, "--benchmark_format=json"])
    samples = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        scale = {"ms": 1e-3, "us": 1e-6, "ns": 1e-9, "s": 1.0}[b["time_unit"]]
        samples.setdefault(b["run_name"], []).append(b[key] * scale)
    return {name: statistics.median(values) for name, values in samples.items()}


def peer(cmd, clock):
    out = run(cmd, env={"ZARNO_CLOCK": clock})
    return json.loads(out.strip().splitlines()[-1])


def fmt(seconds):
    if seconds is None:
        return "-"
    if seconds >= 1.0:
        return "%.2f s" % seconds
    return "%.2f ms" % (seconds * 1e3)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--bench", required=True, help="the zarno_bench binary")
    ap.add_argument("--rounds", type=int, default=20, help="rounds per timing, every tool (20)")
    ap.add_argument("--reps", type=int, default=5, help="timings per tool and size; medians (5)")
    ap.add_argument("--literal-reps", type=int, default=3, help="timings of the literal loops (3)")
    ap.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                    help="processor time of the process (default; robust on a shared machine) "
                         "or wall-clock time")
    ap.add_argument("--large-rounds", type=int, default=3,
                    help="rounds of the threaded run at 60000x2000x10, timed once (3)")
    ap.add_argument("--no-large", action="store_true",
                    help="leave out the threaded run at 60000x2000x10 (needs some 5 GB)")
    ap.add_argument("--zarno", help="the zarno command: also time a whole study against R's NMF")
    ap.add_argument("--no-study", action="store_true", help="leave out the whole study")
    ap.add_argument("--study-only", action="store_true", help="only the whole study")
    args = ap.parse_args()
    if not args.study_only:
        rounds_report(args)
    if args.zarno and not args.no_study:
        # Its own process: its table follows the round's, on the same machine.
        sys.stdout.flush()
        subprocess.run(["/usr/bin/python3", os.path.join(HERE, "study_peer.py"), "--zarno",
                        args.zarno], check=True)


def rounds_report(args):

    # Each repetition times every tool once, so that all of them see the same
    # conditions of a shared machine; the medians are taken across repetitions.
    samples = {}

    def add(key, value):
        samples.setdefault(key, []).append(value)

    blas = {}
    load_before = os.getloadavg()
    for rep in range(args.reps):
        print("Repetition %d of %d ..." % (rep + 1, args.reps), file=sys.stderr)
        for name, value in bench_times(args.bench, "BM_Round/.*/uncert:1/|BM_Bandwidth|BM_MulAddPeak"
                                       "|BM_DivPeak|BM_Round/.*/uncert:0/isa:2"
                                       "|BM_GramRound/genes:(2000|5000|20000)/samples:(50|38|100|200)/.*/threads:1/",
                                       args.rounds, 1, args.clock).items():
            add(name, value)
        for name, value in bench_times(args.bench, "BM_PassInCache", args.rounds, 1, args.clock).items():
            add(name, value)
        if rep < args.literal_reps:
            for name, value in bench_times(args.bench, "BM_LiteralRound/.*/uncert:1", args.rounds, 1,
                                           args.clock).items():
                add(name, value)
        for (g, s, k) in SIZES:
            for tool in ("numpy", "sklearn"):
                r = peer(["/usr/bin/python3", os.path.join(HERE, "peers.py"), tool, str(g), str(s),
                          str(k), str(args.rounds), "1"], args.clock)
                add((tool, g, s, k), r["seconds_per_round"])
                blas[tool] = "%s %s; BLAS: %s" % (tool, r["version"], r["blas"])
        # One run on one, then two threads: wall-clock time, whatever --clock.
        for name, value in bench_times(args.bench, "BM_ThreadedRound/genes:20000/|"
                                       "BM_GramRound/genes:20000/samples:200/patterns:8/isa:2/",
                                       args.rounds, 1, "wall").items():
            add("wall:" + name if name.startswith("BM_Gram") else name, value)
    if not args.no_large:
        print("The threaded run at 60000x2000x10 ...", file=sys.stderr)
        for name, value in bench_times(args.bench, "BM_ThreadedRound/genes:60000/|"
                                       "BM_GramRound/genes:2000/samples:100000/",
                                       args.large_rounds, 1, "wall").items():
            add("wall:" + name if name.startswith("BM_Gram") else name, value)
    gb = {key: statistics.median(values) for key, values in samples.items()}
    load_after = os.getloadavg()

    rows = []
    for (g, s, k) in SIZES:
        name = "genes:%d/samples:%d/patterns:%d/uncert:1" % (g, s, k)
        row = {
            "size": "%dx%dx%d" % (g, s, k),
            "avx512": gb.get("BM_Round/%s/isa:2/iterations:%d/real_time" % (name, args.rounds)),
            "avx2": gb.get("BM_Round/%s/isa:1/iterations:%d/real_time" % (name, args.rounds)),
            "sse2": gb.get("BM_Round/%s/isa:0/iterations:%d/real_time" % (name, args.rounds)),
            "literal": gb.get("BM_LiteralRound/%s/iterations:%d/real_time" % (name, args.rounds)),
            "numpy": gb.get(("numpy", g, s, k)),
            "sklearn": gb.get(("sklearn", g, s, k)),
        }
        # The engine picks the widest instruction set the processor has.
        row["engine"] = row["avx512"] or row["avx2"] or row["sse2"]
        rows.append(row)

    # Two streams of 256 MiB per thread.
    bandwidth = bandwidth2 = None
    for n in gb:
        if isinstance(n, str) and n.startswith("BM_Bandwidth"):
            if n.endswith("threads:2"):
                bandwidth2 = 2 * 2 * 256 * 2 ** 20 / gb[n]
            else:
                bandwidth = 2 * 256 * 2 ** 20 / gb[n]
    # Multiplies per second at each width: 7 chains x 2^22 iterations x lanes.
    peak = {}
    for isa, lanes in (("avx512", 8), ("avx2", 4)):
        name = "BM_MulAddPeak/isa:%d" % (2 if isa == "avx512" else 1)
        if name in gb:
            peak[isa] = 7 * 2 ** 22 * lanes / gb[name]

    # The floors of each size: the bytes the round must stream at the measured
    # one-core bandwidth, and its multiplies at the widest set's peak.
    widest = "avx512" if "avx512" in peak else "avx2" if "avx2" in peak else None
    for row in rows:
        g, s, k = (int(x) for x in row["size"].split("x"))
        row["memfloor"] = 5 * 8 * g * s / bandwidth if bandwidth else None
        row["arifloor"] = 6.0 * g * s * k / peak[widest] if widest else None
        floors = [f for f in (row["memfloor"], row["arifloor"]) if f]
        row["floor"] = max(floors) if floors else None

    cols = [("engine", "engine"), ("avx2", "AVX2 only"), ("sse2", "SSE2 only"),
            ("literal", "literal loops"), ("numpy", "numpy"), ("sklearn", "sklearn mu*"),
            ("memfloor", "memory floor"), ("arifloor", "arith. floor")]
    print()
    isa = "AVX-512" if any(r["avx512"] for r in rows) else "AVX2" if any(r["avx2"] for r in rows) else "SSE2"
    print("Seconds per update round, %s time, one core; median of %d repetitions, each timing "
          "every tool over %d rounds (literal loops: the first %d)" % (
              args.clock, args.reps, args.rounds, args.literal_reps))
    print("engine: the widest instruction set this processor has (%s); AVX2 only, SSE2 only: "
          "the same engine held to those (same bits)" % isa)
    print("%-26s" % "genes x samples x patterns" + "".join("%14s" % c[1] for c in cols))
    for row in rows:
        print("%-26s" % row["size"] + "".join("%14s" % fmt(row[c[0]]) for c in cols))
    print()
    print("Peer time / engine time (above 1: the engine is faster), and the engine's time over "
          "the larger of its two floors")
    print("%-26s" % "" + "".join("%14s" % c[1] for c in cols[1:6]) + "%14s" % "engine/floor")
    for row in rows:
        cells = []
        for c in cols[1:6]:
            v = row[c[0]]
            cells.append("%14s" % ("-" if v is None or not row["engine"] else "%.1fx" % (v / row["engine"])))
        ratio = "-" if not (row["engine"] and row["floor"]) else "%.2f" % (row["engine"] / row["floor"])
        print("%-26s" % row["size"] + "".join(cells) + "%14s" % ratio)
    print()
    print("* scikit-learn's solver is unweighted (plain Frobenius loss): about a third of the "
          "engine's work per round.")
    print("What bounds the round: it streams at least 5 x 8 x genes x samples bytes (data and "
          "uncertainties in both halves, Mock once) and makes 6 x genes x samples x patterns "
          "multiplies and as many adds, unfused:")
    if bandwidth:
        print("  memory bandwidth, one core, two streams read together: %.1f GB/s" % (bandwidth / 1e9))
    for isa in ("avx512", "avx2"):
        if isa in peak:
            print("  %s: %.1f G multiplies/s (as many adds alongside)" % (
                "AVX-512" if isa == "avx512" else "AVX2", peak[isa] / 1e9))
    for row in rows:
        g, s, k = (int(x) for x in row["size"].split("x"))
        parts = []
        if bandwidth:
            parts.append("memory %s" % fmt(5 * 8 * g * s / bandwidth))
        for isa in ("avx512", "avx2"):
            if isa in peak:
                parts.append("%s arithmetic %s (takes %s)" % (
                    "AVX-512" if isa == "avx512" else "AVX2", fmt(6.0 * g * s * k / peak[isa]),
                    fmt(row[isa])))
        print("  %s: floors: %s" % (row["size"], ", ".join(parts)))
    gram_report(gb, args, bandwidth, peak.get(widest) if widest else None)
    cache_report(gb, peak.get(widest) if widest else None, widest)
    threaded_report(gb, args, bandwidth, bandwidth2, peak.get(widest) if widest else None)
    for v in blas.values():
        print(v)
    # Other work on the machine slows the two-thread run most: each half-round
    # waits for its slower thread.
    print("Load average (1, 5, 15 min) before: %.2f %.2f %.2f, after: %.2f %.2f %.2f "
          "(this command alone adds about 1; more means other work shared the cores)" % (
              load_before + load_after))
    print("BLAS environment: " + ", ".join("%s=%s" % (k, os.environ.get(k, "(unset)")) for k in (
        "OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")) + "; every BLAS pinned to one thread.")


def gram_report(gb, args, bandwidth, peak):
    """The unweighted round in Gram form against scikit-learn and its floor."""
    print()
    print("The unweighted round: Gram form (zarno run's default for unweighted studies), the "
          "classic round without uncertainties, scikit-learn's mu solver, the same data, one core, "
          "%s time per round" % args.clock)
    cols = ("Gram", "AVX2 only", "SSE2 only", "classic", "sklearn mu", "2-pass floor",
            "Gram/sklearn", "Gram/floor")
    print("%-26s" % "genes x samples x patterns" + "".join("%14s" % c for c in cols))
    for (g, s, k) in SIZES:
        def t(isa):
            return gb.get("BM_GramRound/genes:%d/samples:%d/patterns:%d/isa:%d/threads:1/"
                          "iterations:%d/real_time" % (g, s, k, isa, args.rounds))
        gram = t(2) or t(1) or t(0)
        classic = gb.get("BM_Round/genes:%d/samples:%d/patterns:%d/uncert:0/isa:2/iterations:%d/"
                         "real_time" % (g, s, k, args.rounds))
        sk = gb.get(("sklearn", g, s, k))
        # Two passes over the data at the measured bandwidth, or two
        # multiplies per element and pattern at the peak, the larger.
        floors = [f for f in (2 * 8 * g * s / bandwidth if bandwidth else None,
                              2.0 * g * s * k / peak if peak else None) if f]
        floor = max(floors) if floors else None
        print("%-26s" % ("%dx%dx%d" % (g, s, k)) + "".join("%14s" % fmt(v) for v in (
            gram, t(1), t(0), classic, sk, floor)) +
            "%14s" % ("-" if not (gram and sk) else "%.2f" % (gram / sk)) +
            "%14s" % ("-" if not (gram and floor) else "%.2f" % (gram / floor)))
    print("Gram form on one and two threads of a run, wall-clock time per round:")
    for (g, s, k) in GRAM_THREADED:
        rounds = args.rounds if g * s < 10 ** 7 else args.large_rounds
        t = [gb.get("wall:BM_GramRound/genes:%d/samples:%d/patterns:%d/isa:2/threads:%d/"
                    "iterations:%d/real_time" % (g, s, k, n, rounds)) for n in (1, 2)]
        if t[0]:
            print("  %dx%dx%d: 1 thread %s, 2 threads %s, speed-up %s" % (
                g, s, k, fmt(t[0]), fmt(t[1]), "-" if not t[1] else "%.2fx" % (t[0] / t[1])))


def cache_report(gb, peak, widest):
    """The kernels with their operands in L2: per-pattern and per-element cost."""
    t = {}
    for name, value in gb.items():
        if isinstance(name, str) and name.startswith("BM_PassInCache/"):
            f = dict(part.split(":") for part in name.split("/")[1:] if ":" in part)
            # 160 x 200 elements a pass
            t[(int(f["patterns"]), int(f["divide"]), int(f["kind"]))] = value / (160 * 200) * 1e9
    if not t or not peak:
        return
    print()
    print("Where the time goes: one half-round of the widest kernels over 160x200 elements, whose "
          "operands stay in a core's L2 cache, ns per element (median)")
    print("%-9s%22s%22s%22s%22s" % ("patterns", "pattern half", "(no division)", "amplitude half",
                                    "(no division)"))
    ks = sorted({k for k, _, _ in t})
    for k in ks:
        print("%-9d" % k + "".join("%22.3f" % t.get((k, d, kind), float("nan"))
                                   for kind in (2, 3) for d in (1, 0)))
    floor = 3.0 / peak * 1e9  # ns per pattern and element of a half: 3 multiplies
    for kind, label in ((2, "pattern half"), (3, "amplitude half")):
        xs = [k for k in ks if (k, 1, kind) in t]
        if len(xs) < 2:
            continue
        ys = [t[(k, 1, kind)] for k in xs]
        mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
        slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
        fixed = my - slope * mx
        print("  %s: %.3f ns per pattern and element (%.2f x its %s multiply floor of %.3f ns), "
              "plus %.3f ns per element whatever the pattern count (the division, the masked "
              "copies, the stores)" % (label, slope, slope / floor,
                                       "AVX-512" if widest == "avx512" else "AVX2", floor, fixed))
    div = gb.get("BM_DivPeak/isa:%d" % (2 if widest == "avx512" else 1))
    if div:
        rate = 7 * 2 ** 20 * (8 if widest == "avx512" else 4) / div
        print("  divisions: %.2f G/s at full rate, %.3f ns per element of a half if nothing "
              "overlapped them" % (rate / 1e9, 1e9 / rate))


def threaded_report(gb, args, bandwidth, bandwidth2, peak):
    """One run on one and two threads, and what more threads could give."""
    print()
    print("One run on several threads (UseThreads; the same bits for every count), wall-clock "
          "time per round, median")
    print("%-26s%14s%14s%14s%14s%12s" % ("genes x samples x patterns", "1 thread", "2 threads",
                                         "rounds/s 1", "rounds/s 2", "speed-up"))
    measured = {}
    for (g, s, k) in THREADED:
        t = {}
        for n in (1, 2):
            rounds = args.rounds if g < 60000 else args.large_rounds
            t[n] = gb.get("BM_ThreadedRound/genes:%d/samples:%d/patterns:%d/threads:%d/"
                          "iterations:%d/real_time" % (g, s, k, n, rounds))
        if not t[1]:
            continue
        measured[(g, s, k)] = t
        print("%-26s%14s%14s%14s%14s%12s" % (
            "%dx%dx%d" % (g, s, k), fmt(t[1]), fmt(t[2]), "%.1f" % (1 / t[1]),
            "-" if not t[2] else "%.1f" % (1 / t[2]),
            "-" if not t[2] else "%.2fx" % (t[1] / t[2])))
    if not (bandwidth and bandwidth2):
        return
    print()
    print("Memory-bandwidth model: a round streams at least B = 5 x 8 x genes x samples bytes; "
          "K threads take at least")
    print("  max(T1 / K, B / BW(K)), BW(K) = the bandwidth K cores draw together, at most the "
          "socket's BW_sys: here BW(1) = %.1f GB/s, BW(2) = %.1f GB/s (%.2f x one core)" % (
              bandwidth / 1e9, bandwidth2 / 1e9, bandwidth2 / bandwidth))
    for (g, s, k), t in measured.items():
        b = 5 * 8 * g * s
        # Each core streams at BW(1) on its own, faster than it computes, so
        # the round scales as 1/K until the socket's total bandwidth binds.
        caps = ", ".join("K = %.0f at %s" % (t[1] * bw / b, label) for bw, label in (
            (bandwidth2, "this machine's %.0f GB/s" % (bandwidth2 / 1e9)), (100e9, "100 GB/s"),
            (200e9, "200 GB/s")))
        print("  %dx%dx%d: B = %.0f MB, one core streams it in %s and computes it in T1 = %s; "
              "the bound B / BW_sys meets T1 / K at %s" % (
                  g, s, k, b / 1e6, fmt(b / bandwidth), fmt(t[1]), caps))
    print("  (BW_sys: the total bandwidth of the socket, shared by all its cores; past that K, "
          "more threads per run buy nothing.)")


if __name__ == "__main__":
    main()
