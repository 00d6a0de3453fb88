"""README's Python example, as a notebook user would run it from the source
folder: it prints the suggested pattern count of the sample data (3) and the
consensus patterns."""

import subprocess
import sys

import pytest

from conftest import SOURCE
from readme import check_output, readme_example


def test_the_readme_example_prints_the_suggestion_and_the_patterns():
    pytest.importorskip("pandas")
    code = readme_example(SOURCE)
    assert len(code.strip().splitlines()) <= 15
    done = subprocess.run([sys.executable, "-c", code], cwd=SOURCE, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    check_output(done.stdout)
