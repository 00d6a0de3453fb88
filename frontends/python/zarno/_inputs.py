"""The caller's data as the core takes them: genes x samples float64 arrays in
C order, with their names, and refusals worded in the caller's terms (the
array, its orientation and labels) with the core's rules."""

import math
import numbers
import sys
import warnings

import numpy as np

from . import _native

# Kinds of numpy dtypes taken as numbers: bool, signed, unsigned, float.
_NUMBERS = "biuf"


def _loaded(module, cls):
    """The class `cls` of `module` when the caller has imported it (an object
    of it cannot exist otherwise), else None: nothing is imported here."""
    mod = sys.modules.get(module)
    return getattr(mod, cls, None) if mod is not None else None


def optional_pandas():
    """pandas when it is installed, else None."""
    try:
        import pandas
    except ImportError:
        return None
    return pandas


def is_frame(x):
    frame = _loaded("pandas", "DataFrame")
    return frame is not None and isinstance(x, frame)


def is_anndata(x):
    adata = _loaded("anndata", "AnnData")
    return adata is not None and isinstance(x, adata)


def _is_sparse(x):
    issparse = _loaded("scipy.sparse", "issparse")
    return issparse is not None and issparse(x)


def number_text(v):
    """A value as messages show it: NaN, inf, -inf, or Python's repr."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return repr(float(v))


def _numeric(array, what):
    kind = array.dtype.kind
    if kind not in _NUMBERS:
        raise TypeError(f"{what} holds {array.dtype} values; numbers are needed (float64 is used as "
                        "it is, other numbers are converted)")


class _Side:
    """One input, data or uncertainties, as the caller gave it and as the core
    takes it (`values`, genes x samples)."""

    def __init__(self, values, where, turned, index=None, columns=None):
        self.values = values
        self.where = where      # how the caller names the array: data, data.iloc, adata.X ...
        self.turned = turned    # the caller's rows are samples (AnnData)
        self.index = index      # the caller's row and column labels, when it has them
        self.columns = columns

    def cell(self, gene, sample):
        """The caller's name of the cell of a gene and a sample."""
        row, column = (sample, gene) if self.turned else (gene, sample)
        return f"{self.where}[{row}, {column}]"


def _array(x, what, turned):
    """Any numeric array-like, 2-D, as a genes x samples float64 C array: no
    copy for a float64 C-ordered array (not turned); one conversion otherwise."""
    if _is_sparse(x):
        x = x.T if turned else x
        x = x.astype(np.float64).toarray()
        turned = False
    try:
        a = np.asarray(x)
    except (ValueError, TypeError) as e:
        raise type(e)(f"{what} cannot be read as an array: {e}") from None
    _numeric(a, what)
    if a.ndim != 2:
        raise ValueError(f"{what} must be 2-D ({'cells x genes' if turned else 'genes x samples'}), "
                         f"not {a.ndim}-D")
    if turned:
        a = a.T
    return np.ascontiguousarray(a, dtype=np.float64)


def _frame(df, what):
    for column, dtype in df.dtypes.items():
        kind = getattr(dtype, "kind", "O")
        if kind not in _NUMBERS:
            raise TypeError(f"{what} column {column!r} holds {dtype} values; numbers are needed")
    # pandas keeps a frame's columns together: one copy into genes x samples
    # rows. A missing value of a nullable column becomes NaN: a missing cell
    # with allow_missing, refused without.
    if all(isinstance(dtype, np.dtype) for dtype in df.dtypes):
        values = df.to_numpy(dtype=np.float64)
    else:
        values = df.to_numpy(dtype=np.float64, na_value=np.nan)
    values = np.ascontiguousarray(values)
    return _Side(values, f"{what}.iloc", False, df.index, df.columns)


def _side(x, what, turned=False):
    if is_frame(x):
        if turned:
            x = x.T
        side = _frame(x, what)
        side.turned = turned
        return side
    return _Side(_array(x, what, turned), what, turned)


def _anndata(adata, layer, what):
    if layer is None:
        return adata.X, "adata.X"
    if not isinstance(layer, str):
        raise TypeError(f"{what}={layer!r}: a layer is named by a string")
    if layer not in adata.layers:
        raise ValueError(f"{what}={layer!r}: adata has no such layer (its layers: "
                         f"{', '.join(map(repr, adata.layers.keys())) or 'none'})")
    return adata.layers[layer], f"adata.layers[{layer!r}]"


def _labels_differ(a, b, axis):
    """The first place where two label sequences differ, worded; None when equal."""
    if len(a) != len(b):
        return f"sigma has {len(a)} {axis}s, data {len(b)}"
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return f"sigma {axis} {i} is labelled {x!r} where data have {y!r}"
    return None


class Inputs:
    """Data (and uncertainties) ready for the core, with the names results and
    messages use."""

    def __init__(self, data, sigma=None, layer=None, sigma_layer=None, turned=False, allow_missing=False):
        self.cell_word = "sample"
        self.checked = False
        # A NaN value or uncertainty is a missing cell, else refused.
        self.allow_missing = bool(allow_missing)
        if is_anndata(data):
            # AnnData holds cells x genes: the study's samples are its cells.
            self.cell_word = "cell"
            x, where = _anndata(data, layer, "layer")
            self.data = _side(x, "adata.X", turned=True)
            self.data.where = where
            if sigma_layer is not None and sigma is not None:
                raise ValueError("give sigma or sigma_layer, not both")
            if sigma_layer is not None:
                s, swhere = _anndata(data, sigma_layer, "sigma_layer")
                self.sigma = _side(s, "sigma", turned=True)
                self.sigma.where = swhere
            else:
                self.sigma = _side(sigma, "sigma", turned=True) if sigma is not None else None
            self.gene_index, self.sample_index = data.var_names, data.obs_names
        else:
            if layer is not None or sigma_layer is not None:
                raise ValueError("layer and sigma_layer name layers of an AnnData object; data are "
                                 f"a {type(data).__name__}")
            # turned: scikit-learn's X, samples x genes.
            self.data = _side(data, "X" if turned else "data", turned)
            self.sigma = _side(sigma, "sigma", turned) if sigma is not None else None
            self.gene_index, self.sample_index = self.data.index, self.data.columns
        self._check_shapes()
        self.labelled = self.gene_index is not None
        if self.labelled:
            self.gene_names = [str(x) for x in self.gene_index]
            self.sample_labels = [str(x) for x in self.sample_index]
            # As the command's tables: results, sigma and annotations are matched
            # by sample label. (The estimator's X is scikit-learn's: its row
            # labels name nothing.)
            if not turned or self.cell_word == "cell":
                self._check_labels()
        else:
            self.gene_names, self.sample_labels = [], []

    def _check_labels(self):
        """Refuses a sample label given twice; warns once of repeated gene names."""
        who = "adata" if self.cell_word == "cell" else "data"
        first = {}
        for i, label in enumerate(self.sample_labels):
            j = first.setdefault(label, i)
            if j != i:
                raise ValueError(f"{who}: {self.cell_word} label {label!r} is given twice, at "
                                 f"{self.cell_word}s {j} and {i}: {self.cell_word} labels must be unique")
        first.clear()
        repeated = []
        for i, name in enumerate(self.gene_names):
            j = first.setdefault(name, i)
            if j != i:
                repeated.append((name, j, i))
        if repeated:
            name, j, i = repeated[0]
            warnings.warn(f"{who} repeats {len(repeated)} gene name{'s' if len(repeated) != 1 else ''}, "
                          f"the first {name!r} at genes {j} and {i}; they run as separate genes, but results "
                          "joined by name will mix them", UserWarning, stacklevel=4)

    @property
    def values(self):
        return self.data.values

    @property
    def sigmas(self):
        return self.sigma.values if self.sigma is not None else None

    def _check_shapes(self):
        genes, samples = self.values.shape
        if genes == 0 or samples == 0:
            rows, columns = (self.cell_word + "s", "genes") if self.data.turned else ("genes", "samples")
            shape = (samples, genes) if self.data.turned else (genes, samples)
            raise ValueError(f"{self.data.where} is empty ({shape[0]} {rows} x {shape[1]} {columns}): "
                             "a study needs at least one of each")
        if self.sigma is None:
            return
        if self.sigma.values.shape != self.values.shape:
            shape = lambda a: "{} x {}".format(*(a.shape[::-1] if self.data.turned else a.shape))
            raise ValueError(f"sigma is {shape(self.sigma.values)}; data are {shape(self.values)}")
        if self.sigma.index is not None and self.data.index is not None:
            why = (_labels_differ(self.sigma.index, self.data.index, "row")
                   or _labels_differ(self.sigma.columns, self.data.columns, "column"))
            if why:
                raise ValueError(f"sigma's labels differ from data's: {why}")

    def name(self, axis, i):
        """A gene's or a sample's name in messages: its label, or its number."""
        index = self.gene_index if axis == "gene" else self.sample_index
        return repr(index[i]) if index is not None else str(i)

    def check(self):
        """The core's checks of the values, a refusal raised as ValueError naming
        the cell; a warning for values below zero, which are run as they are."""
        if self.checked:
            return
        self.checked = True
        refusal = _native.check_data(self.values, self.sigmas, self.allow_missing, self.gene_names,
                                     self.sample_labels)
        if refusal is not None:
            g, s = refusal["gene"], refusal["sample"]
            who = f"gene {self.name('gene', g)} {self.cell_word} {self.name('sample', s)}"
            value = refusal["value"]
            if refusal["code"] == "value":
                raise ValueError(f"{self.data.cell(g, s)}, the value of {who}, is not finite "
                                 f"({number_text(value)})")
            if refusal["code"] == "sigma":
                raise ValueError(f"{self.sigma.cell(g, s)}, the uncertainty of {who}, is "
                                 f"{number_text(value)}; every uncertainty must be positive and finite")
            # The rest (no observed cell, nothing above zero) in the core's words.
            raise ValueError(f"{self.data.where}: {refusal['text']}")
        count, g, s = _native.count_negative(self.values)
        if count:
            warnings.warn(
                f"data hold {count} value{'s' if count != 1 else ''} below zero, the first at "
                f"{self.data.cell(g, s)} (gene {self.name('gene', g)} {self.cell_word} "
                f"{self.name('sample', s)}); they are run as they are (log-transformed data?)",
                UserWarning, stacklevel=3)


def integer(value, what, least=None):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an integer, not {value!r}")
    value = int(value)
    if least is not None and value < least:
        raise ValueError(f"{what} must be at least {least}, not {value}")
    return value


def flag(value, what):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be True or False, not {value!r}")
    return bool(value)


def real(value, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number, not {value!r}")
    return float(value)


def ranks_of(ranks):
    """(first, last) pattern counts, both included; an int is one count."""
    if isinstance(ranks, numbers.Integral) and not isinstance(ranks, bool):
        first = last = int(ranks)
    else:
        try:
            first, last = ranks
        except (TypeError, ValueError):
            raise TypeError(f"ranks must be a pattern count or a pair (first, last), not {ranks!r}") from None
        first = integer(first, "ranks' first count")
        last = integer(last, "ranks' last count")
    if first > last:
        raise ValueError(f"ranks=({first}, {last}): the first pattern count is above the last")
    return first, last
