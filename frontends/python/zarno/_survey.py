"""The rank survey of a study, as `zarno survey` makes it (the same native
code), presented with the study's labels."""

import collections
import io
import json

import numpy as np

from ._inputs import optional_pandas

Spread = collections.namedtuple("Spread", "best median worst")
Spread.__doc__ = "Best (lowest), median and worst (highest) of a figure over the chains."


def _pattern_names(k):
    return [f"P{p}" for p in range(1, k + 1)]


def _table(text, pandas):
    if pandas is not None:
        return pandas.read_csv(io.StringIO(text), sep="\t", keep_default_na=False, na_values=["NA"])
    return np.genfromtxt(io.StringIO(text), delimiter="\t", names=True, dtype=None, encoding="utf-8",
                         missing_values="NA", deletechars="")


class CountSurvey:
    """The survey of one pattern count `k` over its chains: the figures of its
    entry in survey.json under the same names, and its matrices.

    chains, failed_chains, missing_chains, outlier_chains (chain numbers),
    chains_used; notes and status (what could not be measured, said plainly);
    chi_square, ssr, chi_square_per_dof, holdout_error: a Spread over the
    chains, or None; dof; cophenetic, dispersion, pac (of the sample
    consensus); stability_mean, stability_min, silhouettes, match_mean,
    match_min, chain_matches (how the chains' patterns match); fits, stable:
    the suggestion rule's verdicts (None: not judged).
    consensus        samples x samples: how often two samples share their
                     strongest pattern; sample_order is the leaf order of
                     its average-linkage tree
    pattern_mean     k x samples, the consensus patterns (outlier chains left
                     out), pattern_sd their standard deviations over chains
                     (None with fewer than two)
    amplitude_mean   genes x k, and amplitude_sd
    top_genes        per pattern the genes holding their largest share of
                     amplitude there, by score (share x amplitude over the
                     pattern's largest): pattern, rank, gene, score, share,
                     amplitude
    Matrices are numpy arrays, or DataFrames labelled with the study's genes
    and samples when it has labels; None when the count has no complete run.
    """

    # survey.json's keys that the matrices below stand for.
    _MATRICES = {"patterns", "sample_order", "sample_order_index", "consensus", "pattern_mean", "pattern_sd",
                 "top_genes"}

    def __init__(self, figures, matrices, labels):
        self.k = matrices["k"]
        for key, value in figures.items():
            if key not in self._MATRICES:
                spread = isinstance(value, dict) and set(value) == {"best", "median", "worst"}
                setattr(self, key, Spread(value["best"], value["median"], value["worst"]) if spread else value)
        self.outlier_chains = [m["chain"] for m in figures.get("chain_matches", []) if m["outlier"]]
        self.sample_order = matrices["sample_order"]
        patterns = _pattern_names(self.k)
        genes, samples = labels.genes, labels.samples
        self.consensus = labels.frame(matrices["consensus"], samples, samples)
        self.pattern_mean = labels.frame(matrices["pattern_mean"], patterns, samples)
        self.pattern_sd = labels.frame(matrices["pattern_sd"], patterns, samples)
        self.amplitude_mean = labels.frame(matrices["amplitude_mean"], genes, patterns)
        self.amplitude_sd = labels.frame(matrices["amplitude_sd"], genes, patterns)
        rows = [(f"P{p}", rank, genes[g] if genes is not None else g, score, share, a)
                for p, rank, g, score, share, a in matrices["top_genes"]]
        pandas = optional_pandas()
        columns = ["pattern", "rank", "gene", "score", "share", "amplitude"]
        self.top_genes = pandas.DataFrame.from_records(rows, columns=columns) if pandas else rows

    def __repr__(self):
        return f"CountSurvey(k={self.k}, chains={self.chains}, status={self.status!r})"


def _agreement(figures, pandas):
    rows = []
    for f in figures:
        for c in f.get("agreement", {}).get("columns", []):
            numbers = c["kind"] == "numbers"
            rows.append({"patterns": f["patterns"], "column": c["column"], "kind": c["kind"],
                         "samples": c["samples"], "ari": c.get("ari"), "nmi": c.get("nmi"),
                         "best_pattern": c["best_pattern"], "per_pattern": c["r" if numbers else "eta2"]})
    if pandas is None:
        return rows
    columns = ["patterns", "column", "kind", "samples", "ari", "nmi", "best_pattern", "per_pattern"]
    return pandas.DataFrame.from_records(rows, columns=columns)


class Survey:
    """The rank survey: `suggested` (a pattern count, or None) with `note`
    saying why, `table` (survey.tsv: one row per pattern count; a pandas
    DataFrame, or a numpy structured array without pandas), and per pattern
    count a CountSurvey: survey[k], or iterate over the survey.
    to_json() gives survey.json's text.

    With sample annotations (Study.survey(annotations=...), or the study's
    own), as survey.json has them:
    agreement      one row per pattern count and annotation column: patterns,
                   column, kind ("categories" or "numbers"), samples (with a
                   value), ari and nmi (categories: the adjusted Rand index and
                   the normalized mutual information between the consensus
                   clusters cut at the count and the column; None for
                   numbers), best_pattern (1-based, the pattern that follows
                   the column most closely) and per_pattern (numbers: each
                   consensus pattern's correlation r with the column;
                   categories: the share of its variance the column explains,
                   eta squared); a DataFrame, or a list of dicts without pandas
    batch_effects  the columns that look like technical batches (named like one
                   or flagged with batch=) and agree strongly with a pattern:
                   dicts of column, flagged, patterns, figure, pattern, value
    annotations    the columns as the survey took them (name, kind, batch, ...)
    All three are None without annotations; survey.table then has their
    ari_<column>, nmi_<column>, r_<column> and best_annotation columns too.
    The suggestion never uses them."""

    def __init__(self, d, labels):
        self.suggested = d["suggested"]
        self.note = d["note"]
        self._json = d["json"]
        whole = json.loads(self._json)
        figures = whole["counts"]
        self.counts = [CountSurvey(f, m, labels) for f, m in zip(figures, d["counts"])]
        pandas = optional_pandas()
        self.table = _table(d["table"], pandas)
        self.annotations = whole.get("annotations")
        self.batch_effects = whole.get("batch_effects") if self.annotations is not None else None
        self.agreement = _agreement(figures, pandas) if self.annotations is not None else None

    def __getitem__(self, k):
        for c in self.counts:
            if c.k == k:
                return c
        raise KeyError(f"no pattern count {k} in the survey (it has {[c.k for c in self.counts]})")

    def __iter__(self):
        return iter(self.counts)

    def __len__(self):
        return len(self.counts)

    def to_json(self):
        """survey.json's text, as `zarno survey` writes it."""
        return self._json + "\n"

    def as_dict(self):
        return json.loads(self._json)

    def __repr__(self):
        return f"Survey(suggested={self.suggested}, counts={[c.k for c in self.counts]}, note={self.note!r})"
