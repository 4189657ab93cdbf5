"""The wheel's build steps for setuptools (pyproject.toml names them): the project's own CMake
build, for the interpreter that runs the build, installed as the package folder alone.

TILDEKIT_CMAKE_BUILD_DIR=DIR reuses a configured tree (`cmake --build DIR --target _tildekit`, then
the install); otherwise the build configures its own tree in BUILD_BASE/cmake, BUILD_BASE being
build/wheel in the source tree (or DIR/python-wheel when DIR is given). setuptools' own files go
to BUILD_BASE too, so the source tree is left as it was.
"""

import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools.command.build import build as _build
from setuptools.command.build_ext import build_ext as _build_ext
from setuptools.command.egg_info import egg_info as _egg_info
from setuptools.errors import PlatformError, SetupError

try:  # setuptools 70.1 and newer carry it themselves
    from setuptools.command.bdist_wheel import bdist_wheel as _bdist_wheel
except ImportError:
    from wheel.bdist_wheel import bdist_wheel as _bdist_wheel

SOURCE = pathlib.Path(__file__).resolve().parent.parent
TREE_VARIABLE = "TILDEKIT_CMAKE_BUILD_DIR"


def _version():
    header = SOURCE / "frame" / "tildekit.h"
    found = re.search(r'^#define TILDEKIT_VERSION "([0-9.]+)"', header.read_text(), re.M)
    if not found:
        raise SetupError(f"{header} has no line '#define TILDEKIT_VERSION \"X.Y.Z\"'")
    return found.group(1)


VERSION = _version()


def _given_tree():
    given = os.environ.get(TREE_VARIABLE)
    if not given:
        return None
    tree = pathlib.Path(given)
    if not tree.is_absolute():
        tree = SOURCE / tree
    if not (tree / "CMakeCache.txt").is_file():
        raise SetupError(f"{TREE_VARIABLE}={given}: {tree} is not a configured CMake tree (no CMakeCache.txt)")
    return tree


def _build_base():
    tree = _given_tree()
    return str(tree / "python-wheel" if tree else SOURCE / "build" / "wheel")


def _run(cmd, **kw):
    print("tildekit:", " ".join(str(c) for c in cmd), flush=True)
    done = subprocess.run([str(c) for c in cmd], **kw)
    if done.returncode != 0:
        raise SetupError(f"{' '.join(str(c) for c in cmd)} failed (exit status {done.returncode})")


def _cache_value(tree, name):
    for line in (tree / "CMakeCache.txt").read_text(errors="replace").splitlines():
        if line.startswith(name + ":"):
            return line.split("=", 1)[1]
    return None


def _native(distribution):
    """The package holds native code: `build` runs build_ext (BuildNative), the wheel is a platform one."""
    distribution.has_ext_modules = lambda: True


class Build(_build):
    """setuptools' build folder outside the source tree's top."""

    def initialize_options(self):
        super().initialize_options()
        _native(self.distribution)
        self.build_base = _build_base()


class EggInfo(_egg_info):
    def finalize_options(self):
        if self.egg_base is None:
            self.egg_base = self.get_finalized_command("build").build_base
            os.makedirs(self.egg_base, exist_ok=True)
        super().finalize_options()


class BdistWheel(_bdist_wheel):
    """A wheel for this interpreter and platform: the package holds native code."""

    def finalize_options(self):
        _native(self.distribution)
        super().finalize_options()
        self.root_is_pure = False


class BuildNative(_build_ext):
    """The package folder, from `cmake --install TREE --component wheel` (there are no Python-only
    modules for build_py: __init__.py comes with the rest)."""

    def run(self):
        if not sys.platform.startswith("linux") or sys.maxsize <= 2**32:
            raise PlatformError(
                f"tildekit's wheel is built for 64-bit Linux; this Python runs on {sys.platform} "
                f"{platform.machine()} ({'64' if sys.maxsize > 2**32 else '32'}-bit)"
            )
        cmake = shutil.which("cmake")
        if not cmake:
            raise SetupError("tildekit's build needs CMake 3.22 or newer, and there is no cmake on PATH "
                             "(Debian: apt install cmake)")
        tree = _given_tree()
        if tree is None:
            tree = pathlib.Path(self.get_finalized_command("build").build_base).resolve() / "cmake"
            self._configure(cmake, tree)
        self._check_interpreter(tree)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        _run([cmake, "--build", tree, "--target", "_tildekit", "-j", jobs])

        package = pathlib.Path(self.build_lib).resolve() / "tildekit"
        if package.exists():
            shutil.rmtree(package)  # nothing left over from an earlier build
        _run([cmake, "--install", tree, "--component", "wheel", "--prefix", package, "--strip"])
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        if not (package / f"_tildekit{suffix}").is_file():
            raise SetupError(f"`cmake --install {tree} --component wheel` left no _tildekit{suffix} in {package}")

    @staticmethod
    def _configure(cmake, tree):
        compiler = os.environ.get("CXX") or next(
            (c for c in ("c++", "g++", "clang++") if shutil.which(c)), None)
        if not compiler or not shutil.which(compiler):
            raise SetupError("tildekit's build needs a C++20 compiler, and there is none on PATH "
                             f"({'CXX=' + compiler + ' is not found' if compiler else 'no c++, g++ or clang++'}; "
                             "Debian: apt install g++)")
        cmd = [cmake, "-S", SOURCE, "-B", tree, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
               f"-DPython3_EXECUTABLE={sys.executable}", "-DTILDEKIT_PYTHON_WHEEL=ON",
               "-DTILDEKIT_TESTS=OFF", "-DTILDEKIT_TOOLS=OFF", "-DTILDEKIT_BENCH=OFF"]
        if not (tree / "CMakeCache.txt").exists() and shutil.which("ninja"):
            cmd += ["-G", "Ninja"]
        _run(cmd)

    @staticmethod
    def _check_interpreter(tree):
        """A reused tree must have been built for this interpreter's version and ABI."""
        built = _cache_value(tree, "Python3_EXECUTABLE")
        if not built:
            raise SetupError(f"{tree} builds no Python module (no Python3_EXECUTABLE in its CMakeCache.txt): "
                             "python3-dev or pybind11-dev was missing when it was configured")
        here = sysconfig.get_config_var("EXT_SUFFIX")
        probe = subprocess.run([built, "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"],
                               capture_output=True, text=True)
        there = probe.stdout.strip() if probe.returncode == 0 else f"unknown ({built} does not run)"
        if there != here:
            raise SetupError(f"{tree} builds the module for {built} ({there}), not for this Python, "
                             f"{sys.executable} ({here}): unset {TREE_VARIABLE} or give a tree configured "
                             f"with -DPython3_EXECUTABLE={sys.executable}")
