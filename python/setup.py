"""Builds the native library with CMake and bundles it inside the package.

The C++ sources are the checkout's, one folder up (or SINEWMA_SOURCE_DIR). The library is built
in a temporary folder, without tests or benchmarks, and copied into the package next to
__init__.py together with _version.py, which carries the CMake project version.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.environ.get("SINEWMA_SOURCE_DIR", os.path.join(HERE, "..")))

if sys.platform == "win32":
    LIBRARY = "sinewma.dll"
elif sys.platform == "darwin":
    LIBRARY = "libsinewma.dylib"
else:
    LIBRARY = "libsinewma.so"


def cmake_project_version():
    """The VERSION of project() in the top-level CMakeLists.txt, for the package metadata."""
    path = os.path.join(SOURCE, "CMakeLists.txt")
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        sys.exit(f"sinewma: no CMakeLists.txt in {SOURCE}; build from the repository's python/ "
                 "folder or set SINEWMA_SOURCE_DIR to the top of the checkout")
    m = re.search(r"project\(\s*sinewma\s+VERSION\s+([0-9.]+)", text)
    if not m:
        sys.exit(f"sinewma: no project version in {path}")
    return m.group(1)


def run(cmd):
    print("sinewma:", " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True)


class BuildWithLibrary(build_py):
    """build_py, plus the native library built by CMake and the version file."""

    def run(self):
        super().run()
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("sinewma: cmake is needed to build the library (apt-get install cmake)")
        target_dir = os.path.join(self.build_lib, "sinewma")
        os.makedirs(target_dir, exist_ok=True)
        with tempfile.TemporaryDirectory(prefix="sinewma-build-") as build:
            configure = [cmake, "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                         "-DSINEWMA_TESTS=OFF", "-DSINEWMA_BENCH=OFF"]
            if shutil.which("ninja"):
                configure += ["-G", "Ninja"]
            run(configure)
            jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
            run([cmake, "--build", build, "--target", "sinewma", "--parallel", jobs])
            built = self.find_library(build)
            # The real file, not the SONAME link: the package loads it by path.
            shutil.copyfile(os.path.realpath(built), os.path.join(target_dir, LIBRARY))
            version = self.cache_value(build, "CMAKE_PROJECT_VERSION")
        with open(os.path.join(target_dir, "_version.py"), "w", encoding="utf-8") as f:
            f.write(f'# Written by setup.py from the CMake project version.\n'
                    f'__version__ = "{version}"\n')

    @staticmethod
    def find_library(build):
        for root, _dirs, files in os.walk(build):
            if LIBRARY in files:
                return os.path.join(root, LIBRARY)
        sys.exit(f"sinewma: the CMake build made no {LIBRARY}")

    @staticmethod
    def cache_value(build, name):
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
        sys.exit(f"sinewma: {name} not in the CMake cache")


commands = {"build_py": BuildWithLibrary}

try:
    from wheel.bdist_wheel import bdist_wheel

    class PlatformWheel(bdist_wheel):
        """The wheel holds a native library but no extension module: any Python 3, one platform."""

        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            return "py3", "none", super().get_tag()[2]

    commands["bdist_wheel"] = PlatformWheel
except ImportError:  # building without the wheel package: no wheel command to adjust
    pass

setup(version=cmake_project_version(), cmdclass=commands)
