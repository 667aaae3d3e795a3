"""Builds the velmora package for pip: the C++ extension through the
project's own CMake (the module target only, Release, for the interpreter
that runs pip), then the package's Python files beside it.

    python3 -m pip install --no-build-isolation ./python

Everything it needs comes from Debian's packages (scripts/install-deps.sh);
nothing is downloaded. CMake's build folder stays below python/build, so a
second install (and ccache) reuses what the first compiled.
"""

import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def version() -> str:
    with open(os.path.join(HERE, "velmora", "__init__.py"), encoding="utf-8") as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


class CMakeBuild(build_ext):
    """Builds `velmora._velmora` with CMake instead of setuptools' compiler."""

    def build_extension(self, ext: Extension) -> None:
        if not os.path.isfile(os.path.join(ROOT, "CMakeLists.txt")):
            raise RuntimeError(f"the project's CMakeLists.txt is not in {ROOT}: install from the source tree's "
                               f"python folder")
        build = os.path.join(HERE, "build", f"cmake-{sys.implementation.cache_tag}")
        configure = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     f"-DPython3_EXECUTABLE={sys.executable}", "-DVELMORA_BUILD_PYTHON=ON",
                     "-DVELMORA_BUILD_TESTS=OFF", "-DVELMORA_BUILD_BENCH=OFF", "-DVELMORA_BUILD_FUZZ=OFF"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", build, "--target", "velmora_python", "-j", str(os.cpu_count() or 1)],
                       check=True)
        built = os.path.join(build, "python", "velmora")
        modules = [f for f in os.listdir(built) if f.startswith("_velmora") and f.endswith(".so")]
        if len(modules) != 1:
            raise RuntimeError(f"CMake built no Python module in {built} (is pybind11-dev installed, and numpy for "
                               f"{sys.executable}?)")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(built, modules[0]), target)


setup(
    name="velmora",
    version=version(),
    description="EEG and biosignal headsets over serial links",
    packages=["velmora"],
    package_data={"velmora": ["_velmora.pyi", "py.typed"]},
    ext_modules=[Extension("velmora._velmora", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    python_requires=">=3.9",
    install_requires=["numpy"],
    zip_safe=False,
)
