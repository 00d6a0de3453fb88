"""Sample annotations as the core takes them: a pandas DataFrame (index: the
sample labels) or a table file, handed over as text with each column's kind
fixed by its dtype; and the study's own annotations back as a DataFrame."""

import os
import warnings

import numpy as np

from . import _native
from ._inputs import is_frame, optional_pandas

# What messages call a DataFrame given as annotations.
SOURCE = "annotations"

# dtype kinds taken as numbers: signed, unsigned, float. Everything else
# (categorical, object, string, bool, dates) is categories of its text.
_NUMBERS = "iuf"


def _kind_and_text(series):
    """A column's kind ("numbers" or "categories") and its values as text, ""
    where missing. Numbers are written so that they read back to the same
    double (repr is the shortest such text)."""
    pandas = optional_pandas()
    dtype = series.dtype
    categorical = isinstance(dtype, pandas.CategoricalDtype)
    missing = series.isna().to_numpy()
    values = series.to_numpy(dtype=object)
    if not categorical and getattr(dtype, "kind", "O") in _NUMBERS:
        whole = dtype.kind in "iu"
        return "numbers", ["" if m else (str(int(v)) if whole else repr(float(v))) for v, m in zip(values, missing)]
    return "categories", ["" if m else str(v) for v, m in zip(values, missing)]


def _check_text(text, what):
    if any(c in text for c in "\t\r\n"):
        raise ValueError(f"{SOURCE}: {what} {text!r} holds a tab or a line break, which the run directory's "
                         "copy of the annotations cannot hold")


def table_of(annotations):
    """(native AnnotationTable, kinds by column) for a DataFrame or a path;
    (None, {}) for None."""
    if annotations is None:
        return None, {}
    if isinstance(annotations, (str, os.PathLike)):
        path = os.fspath(annotations)
        if not os.path.exists(path):
            raise FileNotFoundError(2, "no such annotations file", path)
        # The command's rule decides each column's kind.
        return _native.read_annotations(path), {}
    if not is_frame(annotations):
        raise TypeError(f"annotations must be a pandas DataFrame (index: sample labels) or the path of a table, "
                        f"not {type(annotations).__name__}")
    frame = annotations
    header = "sample" if frame.index.name is None else str(frame.index.name)
    labels = [str(x) for x in frame.index]
    columns = [str(c) for c in frame.columns]
    seen = set()
    for c in columns:
        if c in seen:
            raise ValueError(f"{SOURCE}: the column name {c!r} is repeated")
        seen.add(c)
    kinds, texts = {}, []
    for i, name in enumerate(columns):
        kinds[name], text = _kind_and_text(frame.iloc[:, i])
        texts.append(text)
    for what, items in (("the label column's name", [header]), ("the sample label", labels),
                        ("the column name", columns)):
        for x in items:
            _check_text(x, what)
    for name, text in zip(columns, texts):
        for x in text:
            _check_text(x, f"a value of column {name!r},")
    cells = [list(row) for row in zip(*texts)] if texts else [[] for _ in labels]
    return _native.AnnotationTable(SOURCE, header, columns, labels, cells), kinds


def batch_of(batch):
    """None (not given), or the list of column names flagged as batches."""
    if batch is None:
        return None
    if isinstance(batch, str):
        return [batch]
    try:
        names = list(batch)
    except TypeError:
        raise TypeError(f"batch must be a column name or a list of them, not {batch!r}") from None
    for b in names:
        if not isinstance(b, str):
            raise TypeError(f"batch must be a column name or a list of them, not {batch!r}")
    return names


def warn(messages):
    """The core's warnings on the annotations (a column with a single value)."""
    for m in messages:
        warnings.warn(m, UserWarning, stacklevel=3)


def frame_of(d):
    """The study's annotations from the native dict: a DataFrame (categories
    as pandas categoricals, numbers as float64), the dict itself without
    pandas, None when there are none."""
    if d is None:
        return None
    pandas = optional_pandas()
    if pandas is None:
        return d
    data = {}
    for c in d["columns"]:
        if c["kind"] == "numbers":
            data[c["name"]] = np.array([np.nan if v is None else v for v in c["values"]], dtype=np.float64)
        else:
            data[c["name"]] = pandas.Categorical(c["values"])
    return pandas.DataFrame(data, index=pandas.Index(d["labels"], name=d["label_column"]))
