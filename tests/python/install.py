"""README's install command as a user runs it (ctest test `python_install`):
a virtual environment over this Python that sees its Debian packages, pip
install --no-build-isolation of frontends/python (reusing this build tree
through ZARNO_BUILD_DIR, so nothing is compiled twice), README's example with
the installed package, then the wheel. Nothing is fetched from a package
index, and nothing is written into the source tree.

install.py BUILD_DIR; exit 77 (skipped) when venv, pip or pandas are missing."""

import glob
import importlib.util
import os
import shutil
import subprocess
import sys
import zipfile

from readme import check_output, readme_example

build = os.path.abspath(sys.argv[1])
source = os.environ.get("ZARNO_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
for module, package in (("ensurepip", "python3-venv"), ("pip", "python3-pip"), ("pandas", "python3-pandas")):
    if importlib.util.find_spec(module) is None:
        print(f"skipped: {module} is not installed for {sys.executable} (Debian: {package})")
        sys.exit(77)


def git_status():
    done = subprocess.run(["git", "-C", source, "status", "--porcelain", "--ignored", "frontends/python"],
                          capture_output=True, text=True)
    return done.stdout if done.returncode == 0 else None


def run(*args, **kwargs):
    print("+", " ".join(args), flush=True)
    return subprocess.run(args, check=True, **kwargs)


before = git_status()
venv = os.path.join(build, "python-venv")
shutil.rmtree(venv, ignore_errors=True)
env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
env["ZARNO_BUILD_DIR"] = build
run(sys.executable, "-m", "venv", "--system-site-packages", venv)
python, pip = os.path.join(venv, "bin", "python"), os.path.join(venv, "bin", "pip")
run(pip, "install", "--no-build-isolation", "--no-index", "./frontends/python", cwd=source, env=env)

where = run(python, "-c", "import zarno; print(zarno.__file__)", cwd="/", env=env, capture_output=True,
            text=True).stdout.strip()
assert where.startswith(venv), where
example = run(python, "-c", readme_example(source), cwd=source, env=env, capture_output=True, text=True)
check_output(example.stdout)
print(example.stdout)

wheels = os.path.join(build, "python-wheels")
shutil.rmtree(wheels, ignore_errors=True)
run(pip, "wheel", "--no-build-isolation", "--no-deps", "--no-index", "-w", wheels, "./frontends/python",
    cwd=source, env=env)
[wheel] = glob.glob(os.path.join(wheels, "zarno-*.whl"))
names = zipfile.ZipFile(wheel).namelist()
assert any(n.startswith("zarno/_native.") and n.endswith(".so") for n in names), names
assert "zarno/_study.py" in names, names
assert git_status() == before, "the build wrote into frontends/python"
print("installed, ran README's example, built", os.path.basename(wheel))
