"""Inputs of every kind and orientation give the same runs; bad inputs are
refused before anything runs, naming the row, column and value."""

import warnings

import numpy as np
import pytest

import zarno
from conftest import random_data

pd = pytest.importorskip("pandas")

SETTINGS = dict(ranks=(2, 3), chains=2, rounds=40, threads=2, progress=False)


def runs_of(study):
    return {(r.k, r.chain): (np.asarray(r.amplitudes), np.asarray(r.patterns), r.chi_square)
            for r in study.runs}


def assert_same_runs(a, b):
    ra, rb = runs_of(a), runs_of(b)
    assert ra.keys() == rb.keys()
    for key in ra:
        assert np.array_equal(ra[key][0], rb[key][0]), key
        assert np.array_equal(ra[key][1], rb[key][1]), key
        assert ra[key][2] == rb[key][2], key


@pytest.fixture(scope="module")
def small():
    values, sigmas = random_data(40, 12, seed=3)
    return values, sigmas


@pytest.fixture(scope="module")
def reference(small):
    return zarno.run(small[0], small[1], **SETTINGS)


def test_a_float64_c_array_is_used_without_a_copy(small):
    values, sigmas = small
    inputs = zarno._inputs.Inputs(values, sigmas)
    assert inputs.values is values and inputs.sigmas is sigmas
    # Anything else is converted once, into C order.
    fortran = np.asfortranarray(values)
    converted = zarno._inputs.Inputs(fortran).values
    assert converted is not fortran and converted.flags.c_contiguous and np.array_equal(converted, values)


def test_every_form_of_the_same_numbers_gives_the_same_runs(small, reference):
    values, sigmas = small
    assert_same_runs(reference, zarno.run(np.asfortranarray(values), sigmas.tolist(), **SETTINGS))
    assert_same_runs(reference, zarno.run(values[:, ::-1][:, ::-1], sigmas, **SETTINGS))  # a strided view
    assert_same_runs(reference, zarno.run(values.astype(">f8"), sigmas, **SETTINGS))      # big-endian
    genes = [f"gene{i}" for i in range(values.shape[0])]
    samples = [f"s{j}" for j in range(values.shape[1])]
    frame = pd.DataFrame(values, index=genes, columns=samples)
    study = zarno.run(frame, pd.DataFrame(sigmas, index=genes, columns=samples), **SETTINGS)
    assert_same_runs(reference, study)
    best = study.best(3)
    assert list(best.amplitudes.index) == genes and list(best.amplitudes.columns) == ["P1", "P2", "P3"]
    assert list(best.patterns.columns) == samples and list(best.patterns.index) == ["P1", "P2", "P3"]
    survey = study.survey()
    assert list(survey[3].pattern_mean.columns) == samples
    assert set(survey[3].top_genes["gene"]) <= set(genes)
    # Bare arrays give bare arrays.
    assert isinstance(reference.best(3).amplitudes, np.ndarray)


def test_integers_are_converted(small):
    counts = np.rint(small[0] * 100).astype(np.int32)
    a = zarno.run(counts, **SETTINGS)
    b = zarno.run(counts.astype(np.float64), **SETTINGS)
    assert_same_runs(a, b)


def test_anndata_is_turned_cells_into_samples(small, reference):
    ad = pytest.importorskip("anndata")
    values, sigmas = small
    cells = [f"cell{j}" for j in range(values.shape[1])]
    genes = [f"g{i}" for i in range(values.shape[0])]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # anndata's own notes on names and dtypes
        adata = ad.AnnData(X=values.T.copy(), obs=pd.DataFrame(index=cells), var=pd.DataFrame(index=genes),
                           layers={"sigma": sigmas.T.copy(), "counts": values.T.astype(np.float32)},
                           dtype=np.float64)  # anndata 0.8 makes X float32 unless told
    study = zarno.run(adata, sigma_layer="sigma", **SETTINGS)
    assert_same_runs(reference, study)
    assert (study.genes, study.samples) == values.shape
    assert list(study.best(2).amplitudes.index) == genes
    assert list(study.best(2).patterns.columns) == cells
    assert_same_runs(study, zarno.run(adata, adata.layers["sigma"], **SETTINGS))
    scipy_sparse = pytest.importorskip("scipy.sparse")
    adata.X = scipy_sparse.csr_matrix(adata.X)
    assert_same_runs(reference, zarno.run(adata, sigma_layer="sigma", **SETTINGS))
    # A layer instead of X: float32 counts, converted.
    assert zarno.run(adata, layer="counts", **SETTINGS).best(2).amplitudes.shape == (40, 2)


def refused(error, *words, **kwargs):
    data = kwargs.pop("data")
    with pytest.raises(error) as info:
        zarno.run(data, **{**SETTINGS, **kwargs})
    for w in words:
        assert w in str(info.value), str(info.value)
    return str(info.value)


def test_bad_values_name_the_cell_in_the_callers_terms(small):
    values, sigmas = (x.copy() for x in small)
    values[3, 5] = np.nan
    refused(ValueError, "data[3, 5], the value of gene 3 sample 5, is not finite (NaN)", data=values)
    values[3, 5] = np.inf
    refused(ValueError, "data[3, 5]", "(inf)", data=values)
    values[3, 5] = 1.0
    sigmas[7, 2] = 0.0
    refused(ValueError, "sigma[7, 2], the uncertainty of gene 7 sample 2, is 0.0; every uncertainty must be "
                        "positive and finite", data=values, sigma=sigmas)
    sigmas[7, 2] = -1.0
    frame = pd.DataFrame(values, index=[f"g{i}" for i in range(40)], columns=[f"s{j}" for j in range(12)])
    refused(ValueError, "sigma.iloc[7, 2], the uncertainty of gene 'g7' sample 's2', is -1.0",
            data=frame, sigma=pd.DataFrame(sigmas, index=frame.index, columns=frame.columns))
    nullable = frame.astype("Float64")
    nullable.iloc[4, 1] = pd.NA
    refused(ValueError, "data.iloc[4, 1], the value of gene 'g4' sample 's1', is not finite (NaN)", data=nullable)


def test_bad_anndata_names_its_cells(small):
    ad = pytest.importorskip("anndata")
    values = small[0].copy()
    values[3, 5] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        adata = ad.AnnData(X=values.T.copy(), dtype=np.float64)
    adata.obs_names = [f"c{j}" for j in range(12)]
    adata.var_names = [f"g{i}" for i in range(40)]
    refused(ValueError, "adata.X[5, 3], the value of gene 'g3' cell 'c5', is not finite (NaN)", data=adata)
    refused(ValueError, "layer='spliced': adata has no such layer", data=adata, layer="spliced")
    refused(ValueError, "sigma is 12 x 39; data are 12 x 40", data=adata, sigma=np.ones((12, 39)))


def test_shapes_types_and_settings_are_refused_before_anything_runs(small):
    values, sigmas = small
    refused(ValueError, "sigma is 40 x 11; data are 40 x 12", data=values, sigma=sigmas[:, 1:])
    frame = pd.DataFrame(values, columns=[f"s{j}" for j in range(12)])
    other = pd.DataFrame(sigmas, columns=[f"s{j}" for j in range(11)] + ["x"])
    refused(ValueError, "sigma column 11 is labelled 'x' where data have 's11'", data=frame, sigma=other)
    refused(TypeError, "object", data=values.astype(object))
    refused(TypeError, "<U", data=np.array([["1", "2"], ["3", "4"]]))
    refused(TypeError, "column 's1' holds object", data=frame.astype({"s1": object}))
    refused(TypeError, "complex", data=values + 1j)
    refused(ValueError, "empty (0 genes x 12 samples)", data=values[:0])
    refused(ValueError, "must be 2-D (genes x samples), not 1-D", data=values[0])
    refused(ValueError, "ranks=(2, 13): 13 patterns for 40 genes and 12 samples: a pattern count may not exceed "
                        "either", data=values, ranks=(2, 13))
    refused(ValueError, "ranks=(5, 2): the first pattern count is above the last", data=values, ranks=(5, 2))
    refused(ValueError, "ranks=(0, 2): \"StartRank\" must be at least 1, not 0", data=values, ranks=(0, 2))
    refused(ValueError, "tolerance=1.5: the tolerance must be at least 0 and below 1", data=values, tolerance=1.5)
    refused(ValueError, "holdout=0.95", data=values, holdout=0.95)
    refused(ValueError, "rounds must be at least 0", data=values, rounds=-1)
    refused(ValueError, "chains must be at least 1", data=values, chains=0)
    refused(ValueError, "first_chain=0: the first chain must be at least 1", data=values, first_chain=0)
    refused(TypeError, "chains must be an integer, not 2.5", data=values, chains=2.5)
    refused(TypeError, "ranks must be a pattern count or a pair", data=values, ranks="2:6")
    refused(TypeError, "progress must be", data=values, progress="yes")
    refused(ValueError, "layer and sigma_layer name layers of an AnnData object", data=values, layer="x")


def test_values_below_zero_are_run_with_a_warning(small):
    values = small[0].copy()
    values[2, 4] = -0.5
    values[9, 1] = -0.25
    with pytest.warns(UserWarning, match=r"2 values below zero, the first at data\[2, 4\]"):
        study = zarno.run(values, **{**SETTINGS, "ranks": 2})
    assert len(study.runs) == 2


def test_runs_summary_and_lookups(reference):
    assert [(r.k, r.chain) for r in reference.runs] == [(2, 1), (2, 2), (3, 1), (3, 2)]
    summary = reference.summary
    assert list(summary.columns) == ["patterns", "chain", "chi_square", "ssr", "rounds", "seconds", "arithmetic",
                                     "status"]
    assert summary["chi_square"].tolist() == [r.chi_square for r in reference.runs]
    # Weighted: every run takes the classic round, whatever is asked.
    assert summary["status"].tolist() == ["complete"] * 4 and set(summary["arithmetic"]) == {"classic"}
    best = reference.best(3)
    assert best.chi_square == min(reference.run(3, 1).chi_square, reference.run(3, 2).chi_square)
    patterns = np.asarray(best.patterns)
    assert np.allclose(patterns.sum(axis=1), 1.0)
    with pytest.raises(ValueError):
        patterns[0, 0] = 1.0  # read-only: a run is what it computed
    with pytest.raises(KeyError, match="no run of 4 patterns, chain 1"):
        reference.run(4, 1)
    assert reference.ranks == (2, 3) and reference.chains == [1, 2] and reference.weighted
    assert reference.best(2).trace is None and reference.best(2).holdout_error is None
