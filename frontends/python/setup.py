"""Builds the package zarno with the tools Debian ships, nothing from a package
index: its native module by the project's CMake over the source tree two
folders up (the engine and the core compiled with it), its pure-Python half
from zarno/.

    pip install --no-build-isolation frontends/python
    pip wheel --no-build-isolation --no-deps -w dist frontends/python

ZARNO_BUILD_DIR=DIR builds in that CMake build tree, or reuses it when it is
configured already (the module must then be built for this Python).
"""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
BUILD_DIR = os.environ.get("ZARNO_BUILD_DIR")


def version():
    found = re.search(r"project\(ZARNO VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())
    if not found:
        sys.exit(f"setup.py: no project version in {ROOT / 'CMakeLists.txt'}: is this the zarno source tree?")
    return found.group(1)


class CMakeBuild(build_ext):
    """The module zarno._native, built by CMake (target zarno_python)."""

    def build_extension(self, ext):
        build = Path(BUILD_DIR or Path(self.build_temp) / "cmake").resolve()
        if not (build / "CMakeCache.txt").exists():
            subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                                   "-DZARNO_JAVA=OFF", f"-DPython3_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", str(build), "--target", "zarno_python",
                               "-j", str(os.cpu_count() or 1)])
        module = Path((build / "python" / "native-module.txt").read_text().strip())
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        if not module.name.endswith(suffix):
            sys.exit(f"setup.py: {module} was built for another Python than {sys.executable} "
                     f"(which loads *{suffix}); build in a new ZARNO_BUILD_DIR")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(module, target)


options = {}
if BUILD_DIR:  # setuptools' own folders there too, out of the source tree
    base = Path(BUILD_DIR).resolve() / "python-setup"
    base.mkdir(parents=True, exist_ok=True)
    options["build"] = {"build_base": str(base)}
    options["egg_info"] = {"egg_base": str(base)}

setup(
    version=version(),
    packages=["zarno"],
    ext_modules=[Extension("zarno._native", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options=options,
    zip_safe=False,
)
