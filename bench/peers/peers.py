"""Time one update round of the Python peers of ZARNO's engine.

    python3 peers.py numpy|sklearn GENES SAMPLES PATTERNS ROUNDS REPS

numpy: a plain numpy implementation of the engine's weighted multiplicative
round (data and reconstruction divided by the uncertainties, the same 1e-10
thresholds, patterns first, then amplitudes). sklearn: scikit-learn's NMF with
the multiplicative-update solver, unweighted Frobenius loss.

Prints one JSON object: the median seconds per round over REPS timings, and
the BLAS in use. ZARNO_CLOCK=wall times wall-clock time instead of the
process's processor time. Pin the BLAS to one thread through the environment
(OPENBLAS_NUM_THREADS=1 and friends), as compare.py does.
"""
import json
import os
import sys
import time

import numpy as np

EPS = 1e-10

# compare.py asks for processor time (the default) or wall-clock time.
clock = time.process_time if os.environ.get("ZARNO_CLOCK", "cpu") == "cpu" else time.perf_counter


def make_data(genes, samples, patterns, seed=12345):
    """Non-negative data near rank `patterns`, with multiplicative noise and
    uncertainties that grow with the value, like the C++ benchmarks."""
    rng = np.random.default_rng(seed + genes + samples + patterns)
    a = rng.random((genes, patterns))
    a[rng.random((genes, patterns)) < 0.3] = 0.0
    p = rng.random((patterns, samples))
    data = (a @ p) * (0.8 + 0.4 * rng.random((genes, samples)))
    sigma = 0.05 + 0.1 * data
    return data, sigma


class WeightedNMF:
    """The engine's round, written the plain numpy way."""

    def __init__(self, data, sigma, patterns, seed=1):
        rng = np.random.default_rng(seed)
        self.sigma = sigma
        scaled = data / sigma
        self.Dp = np.where(scaled > EPS, scaled, 0.0)  # data never change: mask once
        self.A = rng.integers(0, 32768, (data.shape[0], patterns)) / 32768.0
        self.P = rng.integers(0, 32768, (patterns, data.shape[1])) / 32768.0
        self.M = self.mock()
        self.PW = self.pattern_weights()
        self.AW = self.amplitude_weights()

    def mock(self):
        am = np.where(self.A >= EPS, self.A, 0.0)
        pm = np.where(self.P >= EPS, self.P, 0.0)
        return (am @ pm) / self.sigma

    @staticmethod
    def ratio(upper, lower):
        small = lower < EPS
        return np.where(small, 1.0, upper / np.where(small, 1.0, lower))

    def pattern_weights(self):
        aw = np.where(self.A > EPS, self.A, 0.0)
        mp = np.where(self.M > EPS, self.M, 0.0)
        return self.ratio(aw.T @ self.Dp, aw.T @ mp)

    def amplitude_weights(self):
        pw = np.where(self.P > EPS, self.P, 0.0)
        mp = np.where(self.M > EPS, self.M, 0.0)
        return self.ratio(self.Dp @ pw.T, mp @ pw.T)

    def round(self):
        self.P *= self.PW
        self.M = self.mock()
        self.AW = self.amplitude_weights()
        self.A *= self.AW
        self.M = self.mock()
        self.PW = self.pattern_weights()


def time_numpy(genes, samples, patterns, rounds, reps):
    data, sigma = make_data(genes, samples, patterns)
    model = WeightedNMF(data, sigma, patterns)
    model.round()  # warm up
    times = []
    for _ in range(reps):
        t = clock()
        for _ in range(rounds):
            model.round()
        times.append((clock() - t) / rounds)
    return times


def time_sklearn(genes, samples, patterns, rounds, reps):
    import warnings

    from sklearn.decomposition import NMF
    from sklearn.exceptions import ConvergenceWarning

    data, _ = make_data(genes, samples, patterns)

    def fit(iterations):
        # tol=0: never stops early; the fit runs exactly `iterations` rounds.
        model = NMF(n_components=patterns, init="random", solver="mu", beta_loss="frobenius",
                    max_iter=iterations, tol=0.0, random_state=0)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            t = clock()
            model.fit_transform(data)
            elapsed = clock() - t
        assert model.n_iter_ == iterations, model.n_iter_
        return elapsed

    fit(2)  # warm up
    # The setup (validation, start, final loss) cancels in the difference.
    base = max(1, rounds // 4)
    return [(fit(base + rounds) - fit(base)) / rounds for _ in range(reps)]


def blas_info():
    try:
        import threadpoolctl

        info = [i for i in threadpoolctl.threadpool_info() if i.get("user_api") == "blas"]
        return "; ".join("%s %s (%s kernel, %d thread%s)" % (
            i.get("internal_api"), i.get("version"), i.get("architecture"), i["num_threads"],
            "" if i["num_threads"] == 1 else "s") + " " + i["filepath"] for i in info)
    except ImportError:
        return "unknown (no threadpoolctl)"


def main():
    if len(sys.argv) != 7 or sys.argv[1] not in ("numpy", "sklearn"):
        sys.exit(__doc__)
    tool = sys.argv[1]
    genes, samples, patterns, rounds, reps = (int(x) for x in sys.argv[2:])
    timer = time_numpy if tool == "numpy" else time_sklearn
    times = timer(genes, samples, patterns, rounds, reps)
    version = np.__version__
    if tool == "sklearn":
        import sklearn

        version = sklearn.__version__
    print(json.dumps({"tool": tool, "version": version, "seconds_per_round": float(np.median(times)),
                      "all": times, "blas": blas_info()}))


if __name__ == "__main__":
    main()
