"""Runs the Python package's tests (ctest test `python`) with the package from
the build tree: run.py BUILD_PYTHON_DIR [pytest arguments]. Exit 77 (skipped)
with the reason when this Python lacks numpy or pytest."""

import importlib.util
import os
import sys

missing = [m for m in ("numpy", "pytest") if importlib.util.find_spec(m) is None]
if missing:
    print(f"skipped: {' and '.join(missing)} not installed for {sys.executable} "
          "(Debian: python3-numpy python3-pytest)")
    sys.exit(77)

sys.dont_write_bytecode = True
package_dir = os.path.abspath(sys.argv[1])
sys.path.insert(0, package_dir)
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [package_dir, os.environ.get("PYTHONPATH")]))
import pytest  # noqa: E402

here = os.path.dirname(os.path.abspath(__file__))
args = sys.argv[2:]
if not any(os.path.exists(a.split("::")[0]) for a in args):  # no test named: all of them
    args.append(here)
sys.exit(pytest.main(["-p", "no:cacheprovider", "-c", os.path.join(here, "pytest.ini"), "--rootdir", here,
                      *args]))
