"""zarno.NMF: a scikit-learn-style estimator over a study of one pattern count.

scikit-learn puts observations in rows: X is samples x genes (cells x genes,
as AnnData holds them), and X ~ W @ H with W samples x k, H k x genes. A
study's data are genes x samples, data ~ amplitudes @ patterns, so the
estimator runs X.T and keeps the best chain's run (lowest chi-square):
    W = fit_transform(X)  = patterns.T     (samples x k, each column sums to 1)
    H = components_       = amplitudes.T   (k x genes)
"""

import inspect

import numpy as np

from . import _inputs
from ._study import STUDY_TOLERANCE, run

try:  # scikit-learn's bases when it is installed: clone, pipelines, its checks
    from sklearn.base import BaseEstimator as _Base
    from sklearn.base import TransformerMixin as _Transformer
    from sklearn.exceptions import NotFittedError
except ImportError:
    class _Transformer:
        """In place of scikit-learn's TransformerMixin: NMF has its own fit_transform."""

    class NotFittedError(ValueError, AttributeError):
        """The estimator is used before fit."""

    class _Base:
        """get_params, set_params and repr as scikit-learn's BaseEstimator
        gives them: the parameters are the keyword arguments of __init__."""

        @classmethod
        def _get_param_names(cls):
            signature = inspect.signature(cls.__init__)
            return sorted(p.name for p in signature.parameters.values()
                          if p.name != "self" and p.kind != p.VAR_KEYWORD)

        def get_params(self, deep=True):
            return {name: getattr(self, name) for name in self._get_param_names()}

        def set_params(self, **params):
            valid = self._get_param_names()
            for name, value in params.items():
                if name not in valid:
                    raise ValueError(f"Invalid parameter {name!r} for estimator {self}. Valid parameters "
                                     f"are: {valid!r}.")
                setattr(self, name, value)
            return self

        def __repr__(self):
            changed = [f"{p.name}={getattr(self, p.name)!r}"
                       for p in inspect.signature(type(self).__init__).parameters.values()
                       if p.name != "self" and p.kind != p.VAR_KEYWORD and not (
                           getattr(self, p.name) is p.default or getattr(self, p.name) == p.default)]
            return f"{type(self).__name__}({', '.join(changed)})"


def _matrix(X, what):
    """X as scikit-learn takes it: any array-like of numbers, sparse matrices
    made dense, object arrays of numbers converted; 2-D."""
    if hasattr(X, "toarray") and not isinstance(X, np.ndarray):
        X = X.toarray()
    if _inputs.is_frame(X):
        return X
    X = np.asarray(X)
    if X.dtype.kind == "O":
        X = X.astype(np.float64)
    if X.ndim != 2:
        raise ValueError(f"{what} must be 2-D (samples x genes), not {X.ndim}-D. Reshape your data: a "
                         f"single sample is {what}.reshape(1, -1)")
    return X


def _shape_check(X, what):
    n, m = X.shape
    if n < 1:
        raise ValueError(f"{what} has 0 sample(s) (shape={X.shape}) while a minimum of 1 is required.")
    if m < 1:
        raise ValueError(f"{what} has 0 feature(s) (shape={X.shape}) while a minimum of 1 is required.")


def _nonnegative_least_squares(X, H, sigma, tolerance=1e-12, most_sweeps=20000):
    """W >= 0 minimising sum(((X - W @ H) / sigma) ** 2), row by row, with H
    fixed: exact coordinate descent on each row's quadratic. Every row is
    solved on its own (its own sweeps, no sum across rows), so a row's result
    does not depend on the rows beside it."""
    n, k = X.shape[0], H.shape[0]
    if sigma is None:
        gram = np.broadcast_to(np.einsum("km,lm->kl", H, H), (n, k, k))
        target = np.einsum("im,km->ik", X, H)
    else:
        weights = 1.0 / (sigma * sigma)
        gram = np.einsum("km,im,lm->ikl", H, weights, H)
        target = np.einsum("im,km->ik", X * weights, H)
    W = np.zeros((n, k))
    going = np.arange(n)
    for _ in range(most_sweeps):
        if going.size == 0:
            break
        w, g, t = W[going], gram[going], target[going]
        moved = np.zeros(going.size)
        for j in range(k):
            diagonal = g[:, j, j]
            step = (np.einsum("ik,ik->i", g[:, j, :], w) - t[:, j]) / np.where(diagonal > 0, diagonal, 1.0)
            new = np.where(diagonal > 0, np.maximum(0.0, w[:, j] - step), 0.0)
            moved = np.maximum(moved, np.abs(new - w[:, j]))
            w[:, j] = new
        W[going] = w
        going = going[moved > tolerance * np.maximum(w.max(axis=1), np.finfo(float).tiny)]
    return W


class NMF(_Transformer, _Base):
    """Non-negative matrix factorization X ~ W @ H by zarno's weighted
    multiplicative updates, over `chains` seeded starts of n_components
    patterns, keeping the best chain.

    Parameters: n_components (None: the smaller of samples and genes), and as
    zarno.run: chains, first_chain, rounds, tolerance (the command's stop,
    zarno.STUDY_TOLERANCE, by default; 0 keeps every round), arithmetic
    ("gram" by default, "classic" for the classic job's round), threads,
    threads_per_run, progress.

    fit(X, y=None, sigma=None), fit_transform(X, y=None, sigma=None): X is
    samples x genes (a numpy array, anything numpy makes one of, a DataFrame,
    a sparse matrix, made dense); sigma its uncertainties, same shape, or
    None (unweighted). y is ignored.
    transform(X, sigma=None): W for new samples of the same genes, the
    non-negative least-squares fit (weighted by sigma) with H fixed.
    inverse_transform(W) = W @ H.

    Attributes after fit: components_ (H, n_components x genes),
    n_components_, reconstruction_err_ (Frobenius norm of X - W @ H, the
    square root of the run's ssr), chi_square_, n_iter_ (rounds), chain_ (the
    best chain), n_features_in_, feature_names_in_ (a DataFrame's columns).
    Values below zero are run as they are, with a warning, as zarno.run runs
    them.
    """

    def __init__(self, n_components=None, *, chains=10, first_chain=1, rounds=2000,
                 tolerance=STUDY_TOLERANCE, arithmetic="gram", threads=None, threads_per_run=0, progress=None):
        self.n_components = n_components
        self.chains = chains
        self.first_chain = first_chain
        self.rounds = rounds
        self.tolerance = tolerance
        self.arithmetic = arithmetic
        self.threads = threads
        self.threads_per_run = threads_per_run
        self.progress = progress

    def _more_tags(self):
        return {"requires_positive_X": True, "preserves_dtype": [np.float64]}

    def _inputs(self, X, sigma):
        """The study's inputs: X turned into genes x samples, checked with the
        core's rules, cells named as the caller's X[sample, gene]."""
        X = _matrix(X, "X")
        if sigma is not None:
            sigma = _matrix(sigma, "sigma")
        _shape_check(X, "X")
        inputs = _inputs.Inputs(X, sigma, turned=True)
        inputs.check()
        return inputs

    def _fit(self, X, sigma):
        names = None
        if _inputs.is_frame(X) and all(isinstance(c, str) for c in X.columns):
            names = np.asarray(X.columns, dtype=object)
        inputs = self._inputs(X, sigma)
        genes, samples = inputs.values.shape
        k = min(genes, samples) if self.n_components is None else _inputs.integer(self.n_components, "n_components", 1)
        study = run(inputs, ranks=k, chains=self.chains, first_chain=self.first_chain, rounds=self.rounds,
                    tolerance=self.tolerance, arithmetic=self.arithmetic, threads=self.threads, threads_per_run=self.threads_per_run,
                    progress=self.progress)
        best = study.best(k)
        amplitudes, patterns = np.asarray(best._amplitudes), np.asarray(best._patterns)
        self.components_ = np.array(amplitudes.T, order="C")
        self.n_components_ = best.k
        self.reconstruction_err_ = float(np.sqrt(best.ssr))
        self.chi_square_ = best.chi_square
        self.n_iter_ = best.rounds
        self.chain_ = best.chain
        self.n_features_in_ = genes
        if names is not None:
            self.feature_names_in_ = names
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        return np.array(patterns.T, order="C")

    def fit(self, X, y=None, sigma=None):
        self._fit(X, sigma)
        return self

    def fit_transform(self, X, y=None, sigma=None):
        return self._fit(X, sigma)

    def _fitted(self):
        if not hasattr(self, "components_"):
            raise NotFittedError(f"This {type(self).__name__} instance is not fitted yet; call fit first.")

    def transform(self, X, sigma=None):
        self._fitted()
        inputs = self._inputs(X, sigma)
        genes = inputs.values.shape[0]
        if genes != self.n_features_in_:
            raise ValueError(f"X has {genes} features, but {type(self).__name__} is expecting "
                             f"{self.n_features_in_} features as input.")
        sigmas = inputs.sigmas.T if inputs.sigmas is not None else None
        return _nonnegative_least_squares(inputs.values.T, self.components_, sigmas)

    def inverse_transform(self, W):
        self._fitted()
        W = _matrix(W, "W")
        if W.shape[1] != self.n_components_:
            raise ValueError(f"W has {W.shape[1]} columns, but the fit has {self.n_components_} components")
        return np.asarray(W, dtype=np.float64) @ self.components_
