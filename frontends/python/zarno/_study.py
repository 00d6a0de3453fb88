"""Studies: run, load, and their results."""

import json
import os

import numpy as np

from . import _inputs, _native
from ._progress import Reporter
from ._inputs import optional_pandas
from ._survey import Survey


def _pattern_names(k):
    return [f"P{p}" for p in range(1, k + 1)]


class _Labels:
    """The names results carry: the caller's own index objects (a DataFrame's,
    an AnnData's), or the names of a run directory; None for bare arrays,
    whose results are bare arrays too."""

    def __init__(self, genes=None, samples=None):
        self.genes, self.samples = genes, samples
        self.pandas = optional_pandas() if genes is not None else None

    def frame(self, values, index, columns):
        if self.pandas is None or values is None:
            return values
        return self.pandas.DataFrame(values, index=index, columns=columns, copy=False)


class Run:
    """One run of a study, identified by its pattern count `k` and its `chain`.

    amplitudes  genes x k;  patterns  k x samples, each row summing to 1.
    numpy arrays (read-only views of the study's memory), or DataFrames
    labelled with the input's genes and samples when the input had labels.
    chi_square (the weighted fit; the plain one without uncertainties), ssr
    (sum of squared residuals), rounds (done), seconds, seed_a and seed_p (of
    its random start), trace (chi-square at rounds 0, 10, 20, ... when the study
    kept it, else None) and holdout_error (of its twin with held-out cells,
    when the study had a holdout, else None).
    """

    __slots__ = ("k", "chain", "chi_square", "ssr", "rounds", "seconds", "seed_a", "seed_p", "trace",
                 "holdout_error", "_amplitudes", "_patterns", "_labels")

    def __init__(self, d, labels, traced):
        self.k, self.chain = d["k"], d["chain"]
        self.chi_square, self.ssr = d["chi_square"], d["ssr"]
        self.rounds, self.seconds = d["rounds"], d["seconds"]
        self.seed_a, self.seed_p = d["seed_a"], d["seed_p"]
        self.trace = np.asarray(d["trace"], dtype=np.float64) if traced else None
        self.holdout_error = d["holdout_error"]
        self._amplitudes, self._patterns = d["amplitudes"], d["patterns"]
        self._labels = labels

    @property
    def amplitudes(self):
        return self._labels.frame(self._amplitudes, self._labels.genes, _pattern_names(self.k))

    @property
    def patterns(self):
        return self._labels.frame(self._patterns, _pattern_names(self.k), self._labels.samples)

    def __repr__(self):
        return (f"Run(k={self.k}, chain={self.chain}, chi_square={self.chi_square!r}, ssr={self.ssr!r}, "
                f"rounds={self.rounds})")


class Study:
    """The runs of a study (from zarno.run or zarno.load), its survey, its files.

    runs            every complete run, by pattern count then chain
    run(k, chain)   one run;  best(k)  the run of k patterns with the lowest chi-square
    summary         one row per run: patterns, chain, chi_square, ssr, rounds, seconds
                    (and holdout_error with a holdout), as summary.tsv; a pandas DataFrame,
                    or a numpy structured array without pandas
    survey()        the rank survey of `zarno survey`
    report(path)    writes the report.html of `zarno report`
    save(dir)       writes the run directory of `zarno run`
    """

    def __init__(self, native, labels):
        self._native = native
        self._labels = labels
        self.job = json.loads(native.job_json)
        traced = bool(self.job.get("trace", False))
        self.runs = [Run(d, labels, traced) for d in native.runs()]
        self._by_key = {(r.k, r.chain): r for r in self.runs}

    # ---- what the study holds

    @property
    def genes(self):
        """The number of genes (rows of the data)."""
        return self._native.genes

    @property
    def samples(self):
        """The number of samples (columns of the data; cells of an AnnData)."""
        return self._native.samples

    @property
    def gene_names(self):
        return self._labels.genes

    @property
    def sample_labels(self):
        return self._labels.samples

    @property
    def weighted(self):
        """True when the runs were weighted by uncertainties."""
        return self._native.weighted

    @property
    def ranks(self):
        """(lowest, highest) pattern count of the runs."""
        ks = [r.k for r in self.runs]
        return (min(ks), max(ks))

    @property
    def chains(self):
        """The chain numbers present, ascending."""
        return sorted({r.chain for r in self.runs})

    @property
    def directory(self):
        """Where the study was saved or loaded from; None until it is."""
        return self._native.directory or None

    @property
    def seconds(self):
        """Wall time of the runs (0 for a study loaded)."""
        return self._native.seconds

    @property
    def incomplete(self):
        """(k, chain, why) of each run a loaded directory lacks or holds failed."""
        return list(self._native.incomplete())

    def run(self, k, chain):
        try:
            return self._by_key[(k, chain)]
        except KeyError:
            raise KeyError(f"no run of {k} patterns, chain {chain}: the study has pattern counts "
                           f"{self.ranks[0]} to {self.ranks[1]}, chains {self.chains}") from None

    def best(self, k):
        runs = [r for r in self.runs if r.k == k]
        if not runs:
            raise KeyError(f"no run of {k} patterns: the study has pattern counts {self.ranks[0]} to "
                           f"{self.ranks[1]}")
        return min(runs, key=lambda r: (r.chi_square, r.chain))

    @property
    def summary(self):
        columns = ["patterns", "chain", "chi_square", "ssr", "rounds"]
        holdout = any(r.holdout_error is not None for r in self.runs)
        if holdout:
            columns.append("holdout_error")
        columns.append("seconds")
        rows = [(r.k, r.chain, r.chi_square, r.ssr, r.rounds)
                + ((np.nan if r.holdout_error is None else r.holdout_error,) if holdout else ())
                + (r.seconds,) for r in self.runs]
        pandas = optional_pandas()
        if pandas is not None:
            return pandas.DataFrame.from_records(rows, columns=columns)
        types = {"patterns": np.int64, "chain": np.int64, "rounds": np.int64}
        return np.array(rows, dtype=[(c, types.get(c, np.float64)) for c in columns])

    # ---- the survey and files

    def survey(self):
        """The rank survey of `zarno survey` over these runs (the same native
        code): see zarno.Survey."""
        return Survey(self._native.survey(), self._labels)

    def report(self, path):
        """Writes report.html, the page `zarno report` writes, to `path` (a file,
        or a directory to hold report.html); returns its path."""
        path = os.fspath(path)
        if os.path.isdir(path):
            path = os.path.join(path, "report.html")
        self._native.report(path)
        return path

    def save(self, directory, survey=True):
        """Writes the run directory `zarno run` writes (job.json, summary.tsv,
        runs/k<P>/c<C>/, holdout/ with a holdout), each file whole or not at all,
        into a new or empty `directory`; with `survey`, also survey.tsv,
        survey.json, consensus/ and report.html, as `zarno run` ends. Returns the
        directory. zarno.load and `zarno survey` read it back."""
        directory = os.fspath(directory)
        self._native.save(directory, bool(survey))
        return directory

    def __repr__(self):
        return (f"Study({self.genes} genes x {self.samples} samples, {'weighted' if self.weighted else 'unweighted'}, "
                f"pattern counts {self.ranks[0]} to {self.ranks[1]}, {len(self.runs)} runs)")


def run(data, sigma=None, *, ranks=(2, 6), chains=10, first_chain=1, rounds=2000, tolerance=0.0,
        holdout=0.0, trace=False, threads=None, threads_per_run=0, progress=None, control=None,
        layer=None, sigma_layer=None):
    """Runs a study: every pattern count in `ranks` (both ends included, as
    `--ranks 2:6`) times chains first_chain .. first_chain + chains - 1, each
    run from the random start its (pattern count, chain) seeds, so every Run
    equals `zarno run`'s run of the same pattern count and chain, bit for bit,
    on any number of threads.

    data    genes x samples: a 2-D numpy array (float64 in C order is used
            without a copy; other numbers, Fortran order or a strided view are
            converted once into a float64 copy), anything numpy makes such an
            array of, a pandas DataFrame (index: genes, columns: samples; its
            values are copied once, since pandas keeps columns together; the
            labels are kept in the results), or an AnnData object (cells x genes:
            it is turned, in one copy, so that the study's samples are its
            cells; layer= names a layer to use instead of X; sparse matrices are
            made dense).
    sigma   the uncertainties, in the same form and shape (for an AnnData, cells
            x genes, or sigma_layer= naming its layer); None runs unweighted.
    ranks   (first, last) pattern count, or one count.
    chains, first_chain, rounds, tolerance, holdout, trace, threads (concurrent
            runs; None: every processor this process may use), threads_per_run
            (0: automatic): as the command's flags of the same names.
    progress  None: a tqdm bar in a terminal or notebook when tqdm is installed;
            False: nothing; a function: called with a zarno.Progress every 100 ms
            while runs go on and once at the end.
    control a zarno.Control, to watch the study or cancel it from another thread
            (zarno.Cancelled is then raised).

    Bad input raises ValueError naming the row, column and value (wrong types:
    TypeError) before anything runs. The GIL is released while the runs
    compute; Ctrl-C stops every run within one round and raises
    KeyboardInterrupt, with the study's native memory and threads released.
    """
    if isinstance(data, _inputs.Inputs):  # made by the estimator
        inputs = data
    else:
        inputs = _inputs.Inputs(data, sigma, layer, sigma_layer)
    first, last = _inputs.ranks_of(ranks)
    chains = _inputs.integer(chains, "chains", 1)
    first_chain = _inputs.integer(first_chain, "first_chain")
    rounds = _inputs.integer(rounds, "rounds", 0)
    tolerance = _inputs.real(tolerance, "tolerance")
    holdout = _inputs.real(holdout, "holdout")
    threads = 0 if threads is None else _inputs.integer(threads, "threads", 1)
    threads_per_run = _inputs.integer(threads_per_run, "threads_per_run")
    if control is not None and not isinstance(control, _native.Control):
        raise TypeError(f"control must be a zarno.Control, not {control!r}")

    inputs.check()
    genes, samples = inputs.values.shape
    refusal = _native.check_job(genes, samples, first, last, first_chain, chains, rounds, tolerance, holdout,
                                threads_per_run)
    if refusal is not None:
        setting = {
            "first_rank": f"ranks=({first}, {last})", "last_rank": f"ranks=({first}, {last})",
            "too_many_patterns": f"ranks=({first}, {last})", "chains": f"chains={chains}, first_chain={first_chain}",
            "rounds": f"rounds={rounds}", "tolerance": f"tolerance={tolerance}", "holdout": f"holdout={holdout}",
            "threads_per_run": f"threads_per_run={threads_per_run}",
        }.get(refusal["code"], f"data of {genes} x {samples}")
        raise ValueError(f"{setting}: {refusal['text']}")

    runs = (last - first + 1) * chains * (2 if holdout > 0 else 1)
    reporter = Reporter(progress, runs, runs * rounds)
    try:
        native = _native.run_study(
            inputs.values, inputs.sigmas, inputs.gene_names, inputs.sample_labels, first, last, first_chain,
            chains, rounds, bool(trace), tolerance, holdout, threads, threads_per_run, reporter.tick, control)
    except BaseException:
        reporter.finish(False)
        raise
    study = Study(native, _Labels(inputs.gene_index, inputs.sample_index) if inputs.labelled else _Labels())
    reporter.finish(True, sum(r.rounds for r in study.runs))
    return study


def load(directory):
    """Reads a run directory written by `zarno run` (a cluster's too) or by
    Study.save: its complete runs, with their genes and samples named as the
    files name them (DataFrames when pandas is installed). Runs it lacks or
    holds failed are listed in Study.incomplete and left out of the survey as
    `zarno survey` leaves them out."""
    directory = os.fspath(directory)
    if not os.path.exists(directory):
        raise FileNotFoundError(2, "no such run directory", directory)
    native = _native.load(directory)
    return Study(native, _Labels(native.gene_names, native.sample_labels))


def read_table(path):
    """Reads a table as `zarno run` reads its data (text or .csv, either maybe
    gzip-compressed; the same numbers, bit for bit): a pandas DataFrame (index:
    genes, columns: samples), or (values, gene names, sample labels) without
    pandas. Faults raise ValueError naming the file, line and column."""
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(2, "no such file", path)
    values, genes, samples = _native.read_table(path)
    pandas = optional_pandas()
    if pandas is None:
        return values, genes, samples
    return pandas.DataFrame(values, index=pandas.Index(genes, name="gene"), columns=samples, copy=False)
