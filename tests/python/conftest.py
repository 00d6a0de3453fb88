"""What the package's tests share: the source tree, the command built beside
the module, and the sample data read as the command reads them."""

import os
import shutil
import subprocess

import numpy as np
import pytest

import zarno

SOURCE = os.environ.get("ZARNO_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


@pytest.fixture(scope="session")
def source_dir():
    return SOURCE


@pytest.fixture(scope="session")
def command():
    """The command `zarno` of the same build (ctest gives its path)."""
    path = os.environ.get("ZARNO_COMMAND") or shutil.which("zarno")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("no zarno command: set ZARNO_COMMAND (ctest does)")
    return path


@pytest.fixture(scope="session")
def sample():
    """data/sample.txt and sample.unc as (values, sigmas, genes, samples), the
    numbers bit for bit as the command reads them."""
    values, genes, samples = zarno._native.read_table(os.path.join(SOURCE, "data", "sample.txt"))
    sigmas, _, _ = zarno._native.read_table(os.path.join(SOURCE, "data", "sample.unc"))
    return values, sigmas, genes, samples


def run_command(command, *args):
    done = subprocess.run([command, *args], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done


def read_matrix(path):
    """A run directory's .tsv matrix: (row names, column names, values)."""
    with open(path) as f:
        header = f.readline().rstrip("\n").split("\t")
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    return [r[0] for r in rows], header[1:], np.array([[float(x) for x in r[1:]] for r in rows])


def random_data(genes, samples, patterns=3, seed=0, noise=0.05):
    """Non-negative genes x samples data made of `patterns` patterns, and
    uncertainties of `noise` of each value (plus a floor)."""
    rng = np.random.default_rng(seed)
    a = rng.uniform(0, 1, (genes, patterns))
    p = rng.uniform(0, 1, (patterns, samples))
    x = a @ p
    sigma = noise * x + 0.01
    return np.abs(x + sigma * rng.standard_normal(x.shape) * 0.5), sigma
