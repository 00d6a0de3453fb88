"""Studies: run, load, and their results."""

import json
import os

import numpy as np

from . import _annotations, _inputs, _native
from ._progress import Reporter
from ._inputs import optional_pandas
from ._survey import Survey

# The convergence stop of `zarno run` (the core's kStudyTolerance): the
# default of zarno.run and zarno.NMF. 0 keeps every round.
STUDY_TOLERANCE = _native.study_tolerance
ARITHMETICS = ("gram", "classic")


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
    kept it, else None), holdout_error (of its twin with held-out cells,
    when the study had a holdout, else None) and arithmetic ("gram" or
    "classic": how its rounds were computed).
    """

    __slots__ = ("k", "chain", "chi_square", "ssr", "rounds", "seconds", "seed_a", "seed_p", "trace",
                 "holdout_error", "arithmetic", "_amplitudes", "_patterns", "_labels")

    def __init__(self, d, labels, traced):
        self.k, self.chain = d["k"], d["chain"]
        self.chi_square, self.ssr = d["chi_square"], d["ssr"]
        self.rounds, self.seconds = d["rounds"], d["seconds"]
        self.seed_a, self.seed_p = d["seed_a"], d["seed_p"]
        self.arithmetic = d["arithmetic"]
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
                f"rounds={self.rounds}, arithmetic={self.arithmetic!r})")


class Study:
    """The runs of a study (from zarno.run or zarno.load), its survey, its files.

    runs            every complete run, by pattern count then chain
    run(k, chain)   one run;  best(k)  the run of k patterns with the lowest chi-square
    failed          the runs that failed (numbers that are not finite), and why
    summary         one row per run: patterns, chain, chi_square, ssr, rounds, (holdout_error
                    with a holdout,) seconds, as summary.tsv, then arithmetic and status
                    ("complete", or "failed: why"); a pandas DataFrame, or a numpy
                    structured array without pandas
    survey()        the rank survey of `zarno survey`, with the agreement of sample
                    annotations when there are any
    report(path)    writes the report.html of `zarno report`
    save(dir)       writes the run directory of `zarno run`
    missing_cells   cells the data lack (allow_missing=True);  arithmetic  of the plain runs
    annotations     the sample annotations kept by save or found by load, or None
    """

    def __init__(self, native, labels):
        self._native = native
        self._labels = labels
        self.job = json.loads(native.job_json)
        traced = bool(self.job.get("trace", False))
        self.runs = [Run(d, labels, traced) for d in native.runs()]
        self._by_key = {(r.k, r.chain): r for r in self.runs}
        self._failed = {(d["k"], d["chain"]): d for d in native.failed()}

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
    def missing_cells(self):
        """How many cells the data lack (NaN with allow_missing=True; NA in the
        command's tables), as job.json's missing_cells: 0 when none."""
        return int(self.job.get("missing_cells", 0))

    @property
    def arithmetic(self):
        """How the plain runs computed their rounds, as job.json records it:
        "gram" (unweighted data, no cell missing, asked for by default) or
        "classic"."""
        return self.job.get("arithmetic", "classic")

    @property
    def failed(self):
        """(k, chain, why) of each run that failed: its chi-square, residual sum,
        amplitudes or patterns are not finite. Failed runs are in the summary,
        never in `runs` or the survey."""
        return [(k, c, d["why"]) for (k, c), d in sorted(self._failed.items())]

    @property
    def incomplete(self):
        """(k, chain, why) of each run that failed ("failed: ...") or, in a
        loaded directory, is missing ("missing: ...")."""
        return list(self._native.incomplete())

    @property
    def annotations(self):
        """The sample annotations the study keeps (given to save, or found in a
        loaded directory): a DataFrame indexed by sample label (categories as
        categoricals, numbers as float64; a dict without pandas), or None.
        survey() and report() use them unless given others."""
        return _annotations.frame_of(self._native.annotations())

    def run(self, k, chain):
        """The run of k patterns and this chain: KeyError when the study has
        none, zarno.ZarnoError saying why when it failed."""
        if (k, chain) in self._failed:
            raise _native.ZarnoError(f"the run of {k} patterns, chain {chain} failed: "
                                     f"{self._failed[(k, chain)]['why']}")
        try:
            return self._by_key[(k, chain)]
        except KeyError:
            raise KeyError(f"no run of {k} patterns, chain {chain}: the study has pattern counts "
                           f"{self.ranks[0]} to {self.ranks[1]}, chains {self.chains}") from None

    def best(self, k):
        runs = [r for r in self.runs if r.k == k]
        if not runs:
            failed = [(c, d["why"]) for (kk, c), d in sorted(self._failed.items()) if kk == k]
            if failed:
                raise _native.ZarnoError(f"every run of {k} patterns failed (chain {failed[0][0]}: "
                                         f"{failed[0][1]})")
            raise KeyError(f"no run of {k} patterns: the study has pattern counts {self.ranks[0]} to "
                           f"{self.ranks[1]}")
        return min(runs, key=lambda r: (r.chi_square, r.chain))

    @property
    def summary(self):
        columns = ["patterns", "chain", "chi_square", "ssr", "rounds"]
        holdout = any(r.holdout_error is not None for r in self.runs)
        if holdout:
            columns.append("holdout_error")
        columns += ["seconds", "arithmetic", "status"]
        rows = [((r.k, r.chain), (r.k, r.chain, r.chi_square, r.ssr, r.rounds)
                 + ((np.nan if r.holdout_error is None else r.holdout_error,) if holdout else ())
                 + (r.seconds, r.arithmetic, "complete")) for r in self.runs]
        for (k, chain), d in self._failed.items():
            rows.append(((k, chain), (k, chain, np.nan, np.nan, -1 if d["rounds"] is None else d["rounds"])
                         + ((np.nan,) if holdout else ())
                         + (np.nan if d["seconds"] is None else d["seconds"], self.arithmetic,
                            "failed: " + d["why"])))
        rows = [row for _, row in sorted(rows, key=lambda x: x[0])]
        pandas = optional_pandas()
        if pandas is not None:
            return pandas.DataFrame.from_records(rows, columns=columns)
        width = max([len(row[-1]) for row in rows] + [8])
        types = {"patterns": np.int64, "chain": np.int64, "rounds": np.int64, "arithmetic": "U7",
                 "status": f"U{width}"}
        return np.array(rows, dtype=[(c, types.get(c, np.float64)) for c in columns])

    # ---- the survey and files

    def survey(self, annotations=None, batch=None):
        """The rank survey of `zarno survey` over these runs (the same native
        code): see zarno.Survey.

        annotations  sample annotations for this survey: a pandas DataFrame
                     (index: the sample labels; categorical, object, string and
                     bool columns are categories, numeric ones numbers) or the
                     path of a table file (read as `--annotations FILE`, its
                     kinds by the command's rule); None: the study's own (see
                     Study.annotations), if any. Their agreement with the survey
                     is in the Survey (agreement per count, batch effects).
        batch        a column name or a list of them flagged as technical
                     batches, replacing the flags (None: the table's own).
        A label that is not a sample, or a sample without a row, raises
        ValueError naming them; a column with a single value is warned of."""
        d = self._native.survey(*self._notes(annotations, batch))
        _annotations.warn(d["warnings"])
        return Survey(d, self._labels)

    def report(self, path, annotations=None, batch=None):
        """Writes report.html, the page `zarno report` writes, to `path` (a file,
        or a directory to hold report.html); returns its path. annotations and
        batch as for survey()."""
        path = os.fspath(path)
        if os.path.isdir(path):
            path = os.path.join(path, "report.html")
        _annotations.warn(self._native.report(path, *self._notes(annotations, batch)))
        return path

    def save(self, directory, survey=True, annotations=None, batch=None):
        """Writes the run directory `zarno run` writes (job.json, summary.tsv,
        runs/k<P>/c<C>/, holdout/ with a holdout; a failed run's run.json says
        why), each file whole or not at all, into a new or empty `directory`;
        the sample annotations (as for survey(), else the study's own) go to
        annotations.tsv and .json, as `zarno run --annotations` keeps them, and
        stay the study's own. With `survey`, also survey.tsv, survey.json,
        consensus/ and report.html, as `zarno run` ends. Returns the directory.
        zarno.load and `zarno survey` read it back."""
        directory = os.fspath(directory)
        _, said = self._native.save(directory, bool(survey), *self._notes(annotations, batch))
        _annotations.warn(said)
        return directory

    @staticmethod
    def _notes(annotations, batch):
        table, kinds = _annotations.table_of(annotations)
        return table, kinds, _annotations.batch_of(batch)

    def __repr__(self):
        return (f"Study({self.genes} genes x {self.samples} samples, {'weighted' if self.weighted else 'unweighted'}, "
                f"pattern counts {self.ranks[0]} to {self.ranks[1]}, {len(self.runs)} runs)")


def run(data, sigma=None, *, ranks=(2, 6), chains=10, first_chain=1, rounds=2000, tolerance=STUDY_TOLERANCE,
        holdout=0.0, trace=False, threads=None, threads_per_run=0, arithmetic="gram", allow_missing=False,
        progress=None, control=None, layer=None, sigma_layer=None):
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
    chains, first_chain, rounds, holdout, trace, threads (concurrent runs;
            None: every processor this process may use), threads_per_run
            (0: automatic): as the command's flags of the same names.
    tolerance  the convergence stop, as --tolerance: a run stops once its fit
            improves by less than this share over a stretch of rounds. The
            default is the command's (zarno.STUDY_TOLERANCE, 1e-6); 0 keeps
            every round, as the classic job does.
    arithmetic  "gram" (the default, as the command's): unweighted runs with no
            missing cell compute their rounds in Gram form, from A^T A and P P^T,
            without a genes x samples reconstruction; "classic": every run takes
            the classic job's round. With arithmetic="classic" and tolerance=0 a
            Run has the classic job's bits. Weighted runs, runs with missing
            cells and holdout twins always take the classic round.
    allow_missing  True: a NaN value (or a NaN uncertainty) is a missing cell,
            of weight zero in every round and in chi-square and the residual
            sum; Study.missing_cells counts them. A gene or a sample with no
            observed cell, or fewer observed cells than free parameters at the
            largest count, raise ValueError. False: a NaN is refused.
    progress  None: a tqdm bar in a terminal or notebook when tqdm is installed;
            False: nothing; a function: called with a zarno.Progress every 100 ms
            while runs go on and once at the end.
    control a zarno.Control, to watch the study or cancel it from another thread
            (zarno.Cancelled is then raised).

    A run whose chi-square, residual sum, amplitudes or patterns are not
    finite failed: it is marked so in Study.summary and Study.failed and left
    out of the survey; when every run failed, zarno.ZarnoError is raised,
    with the study as its `study` attribute.

    Bad input raises ValueError naming the row, column and value (wrong types:
    TypeError) before anything runs. The GIL is released while the runs
    compute; Ctrl-C stops every run within one round and raises
    KeyboardInterrupt, with the study's native memory and threads released.
    """
    if isinstance(data, _inputs.Inputs):  # made by the estimator
        inputs = data
    else:
        inputs = _inputs.Inputs(data, sigma, layer, sigma_layer, allow_missing=_inputs.flag(allow_missing,
                                                                                           "allow_missing"))
    first, last = _inputs.ranks_of(ranks)
    chains = _inputs.integer(chains, "chains", 1)
    first_chain = _inputs.integer(first_chain, "first_chain")
    rounds = _inputs.integer(rounds, "rounds", 0)
    tolerance = _inputs.real(tolerance, "tolerance")
    holdout = _inputs.real(holdout, "holdout")
    threads = 0 if threads is None else _inputs.integer(threads, "threads", 1)
    threads_per_run = _inputs.integer(threads_per_run, "threads_per_run")
    if not isinstance(arithmetic, str):
        raise TypeError(f"arithmetic must be 'gram' or 'classic', not {arithmetic!r}")
    if arithmetic not in ARITHMETICS:
        raise ValueError(f"arithmetic={arithmetic!r}: expected 'gram' or 'classic'")
    if control is not None and not isinstance(control, _native.Control):
        raise TypeError(f"control must be a zarno.Control, not {control!r}")

    inputs.check()
    genes, samples = inputs.values.shape
    refusal = _native.check_job(inputs.values, inputs.sigmas, bool(inputs.allow_missing), first, last,
                                first_chain, chains, rounds, tolerance, holdout, threads_per_run, arithmetic)
    if refusal is not None:
        setting = {
            "first_rank": f"ranks=({first}, {last})", "last_rank": f"ranks=({first}, {last})",
            "too_many_patterns": f"ranks=({first}, {last})", "too_few_observed": f"ranks=({first}, {last})",
            "chains": f"chains={chains}, first_chain={first_chain}",
            "rounds": f"rounds={rounds}", "tolerance": f"tolerance={tolerance}", "holdout": f"holdout={holdout}",
            "threads_per_run": f"threads_per_run={threads_per_run}",
        }.get(refusal["code"], f"data of {genes} x {samples}")
        raise ValueError(f"{setting}: {refusal['text']}")

    runs = (last - first + 1) * chains * (2 if holdout > 0 else 1)
    reporter = Reporter(progress, runs, runs * rounds)
    try:
        native = _native.run_study(
            inputs.values, inputs.sigmas, bool(inputs.allow_missing), inputs.gene_names, inputs.sample_labels,
            first, last, first_chain, chains, rounds, bool(trace), tolerance, holdout, threads, threads_per_run,
            arithmetic, reporter.tick, control)
    except BaseException:
        reporter.finish(False)
        raise
    study = Study(native, _Labels(inputs.gene_index, inputs.sample_index) if inputs.labelled else _Labels())
    reporter.finish(True, sum(r.rounds for r in study.runs))
    if not study.runs and study.failed:
        raise _every_run_failed(study)
    return study


def _every_run_failed(study):
    """ZarnoError for a study none of whose runs is complete, as `zarno run`
    says it (exit 1): which runs failed, why, and what to try. The study rides
    along as the error's `study`, to read its summary or save its failures."""
    failed = study.failed
    listed = "; ".join(f"k{k} c{c}: {why}" for k, c, why in failed[:5]) + ("; ..." if len(failed) > 5 else "")
    error = _native.ZarnoError(
        f"{len(failed)} runs failed, 0 complete ({listed}): numbers that are not finite come of values "
        f"whose sums overflow a round; rescale the data (and sigma) by a power of ten")
    error.study = study
    return error


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
