"""zarno.NMF: scikit-learn's shapes over a study of one pattern count (X is
samples x genes, W = the best run's patterns.T, H = its amplitudes.T), its
transform, scikit-learn's own estimator checks where they apply, and the
estimator without scikit-learn."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zarno
from conftest import random_data

SETTINGS = dict(chains=3, rounds=300, progress=False)


@pytest.fixture(scope="module")
def cells():
    """40 samples x 60 genes with their uncertainties, as scikit-learn and
    AnnData hold them."""
    values, sigmas = random_data(60, 40, patterns=3, seed=9)
    return values.T.copy(), sigmas.T.copy()


def test_the_estimator_keeps_the_best_chain_of_the_study(cells):
    X, sigma = cells
    model = zarno.NMF(3, **SETTINGS)
    W = model.fit_transform(X, sigma=sigma)
    study = zarno.run(X.T, sigma.T, ranks=3, threads=1, **SETTINGS)
    best = study.best(3)
    assert W.shape == (40, 3) and model.components_.shape == (3, 60)
    assert np.array_equal(W, best.patterns.T) and np.array_equal(model.components_, best.amplitudes.T)
    assert model.chain_ == best.chain and model.chi_square_ == best.chi_square
    assert model.reconstruction_err_ == pytest.approx(np.linalg.norm(X - W @ model.components_), rel=1e-9)
    assert model.n_iter_ == 300 and model.n_components_ == 3 and model.n_features_in_ == 60
    assert np.allclose(W.sum(axis=0), 1.0)  # each pattern sums to 1 over the samples
    # Weighted and unweighted fits differ.
    assert not np.array_equal(zarno.NMF(3, **SETTINGS).fit(X).components_, model.components_)


def test_transform_is_the_least_squares_fit_with_h_fixed(cells):
    X, sigma = cells
    model = zarno.NMF(3, **SETTINGS).fit(X, sigma=sigma)
    H = model.components_
    truth = np.random.default_rng(4).uniform(0, 1, (7, 3))
    truth[2, 1] = 0.0  # on the boundary
    assert np.allclose(model.transform(truth @ H), truth, atol=1e-9)
    assert np.allclose(model.inverse_transform(truth), truth @ H)
    # Weighted: genes with large uncertainties barely count.
    noisy = truth @ H
    noisy[:, :20] *= 3.0
    weights = np.ones_like(noisy)
    weights[:, :20] = 1e6
    assert np.allclose(model.transform(noisy, sigma=weights), truth, atol=1e-6)
    assert not np.allclose(model.transform(noisy), truth, atol=1e-3)
    # On the training samples, close to the fit's own W.
    assert np.allclose(model.transform(X, sigma=sigma), model.fit_transform(X, sigma=sigma), atol=2e-2)
    with pytest.raises(ValueError, match="X has 59 features, but NMF is expecting 60 features"):
        model.transform(X[:, 1:])


def test_inputs_are_checked_in_the_callers_orientation(cells):
    X = cells[0].copy()
    X[2, 5] = np.nan
    with pytest.raises(ValueError, match=r"X\[2, 5\], the value of gene 5 sample 2, is not finite \(NaN\)"):
        zarno.NMF(2, **SETTINGS).fit(X)
    with pytest.raises(ValueError, match="4 patterns for 3 genes"):
        zarno.NMF(4, **SETTINGS).fit(cells[0][:, :3])
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(cells[0], columns=[f"gene{j}" for j in range(60)])
    model = zarno.NMF(2, **SETTINGS).fit(frame)
    assert list(model.feature_names_in_) == list(frame.columns)
    assert np.array_equal(model.components_, zarno.NMF(2, **SETTINGS).fit(cells[0]).components_)


def test_without_scikit_learn(tmp_path):
    script = tmp_path / "plain.py"
    script.write_text(textwrap.dedent("""
        import sys
        sys.modules["sklearn"] = None  # as if it were not installed
        import numpy as np
        import zarno
        x = np.random.default_rng(0).uniform(0.1, 1.0, (30, 12))
        model = zarno.NMF(2, chains=2, rounds=100, progress=False)
        assert model.get_params()["chains"] == 2 and repr(model) == "NMF(n_components=2, chains=2, rounds=100, progress=False)"
        try:
            model.transform(x)
        except ValueError as e:
            assert "not fitted" in str(e)
        w = model.set_params(rounds=50).fit_transform(x)
        assert model.n_iter_ == 50 and w.shape == (30, 2)
        assert np.allclose(model.transform(x), w, atol=0.05)
        try:
            model.set_params(round=3)
        except ValueError as e:
            assert "Invalid parameter 'round'" in str(e)
        print("ok")
    """))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True)
    assert done.stdout.strip() == "ok", done.stderr


try:
    from sklearn.utils.estimator_checks import parametrize_with_checks
except ImportError:
    def parametrize_with_checks(estimators):
        return pytest.mark.skip(reason="scikit-learn is not installed")

# The checks that do not apply, and why.
SKIPPED = {
    # Complex numbers are a wrong type for zarno: TypeError, as everywhere in
    # the package; the check wants ValueError.
    "check_complex_data": "complex data raise TypeError, a wrong type",
    # Values below zero are run as they are, with a warning, as zarno.run and
    # the command run them; the check wants them refused.
    "check_fit_non_negative": "values below zero are run with a warning, not refused",
}


@parametrize_with_checks([zarno.NMF(chains=2, rounds=500, progress=False)])
def test_scikit_learns_estimator_checks(estimator, check):
    name = getattr(check, "func", check).__name__
    if name in SKIPPED:
        pytest.skip(SKIPPED[name])
    check(estimator)
