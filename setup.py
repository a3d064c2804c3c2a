"""Builds the extension module and the shared library with the project's own
CMake (VORN_BUILD_PYTHON) and puts both into the package folder: the module
finds the library beside itself (its run path is $ORIGIN), so the installed
package needs nothing else of this tree.

Needs cmake, a C++17 compiler, OpenSSL 3 and zlib headers, pybind11 and the
interpreter's headers (Debian: scripts/deps.sh build python). The interpreter
that runs this script is the one the module is built for.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(corvane_vorn VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        package = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(
            [
                "cmake", "-S", str(ROOT), "-B", str(build),
                "-DCMAKE_BUILD_TYPE=Release",
                # The library and the module only: no tests, tools, demos or
                # install rules (and none of their packages) for a pip build.
                "-DVORN_BUILD_TESTS=OFF",
                "-DVORN_BUILD_TOOLS=OFF",
                "-DVORN_BUILD_DEMOS=OFF",
                "-DVORN_BUILD_PROXY_STATE=OFF",
                "-DVORN_INSTALL=OFF",
                "-DVORN_BUILD_PYTHON=ON",
                f"-DPython_EXECUTABLE={sys.executable}",
            ],
            check=True,
        )
        subprocess.run(["cmake", "--build", str(build), "--target", "_corvane_vorn", "-j", jobs], check=True)
        # The module, with its run path set for the package folder.
        subprocess.run(
            ["cmake", "--install", str(build), "--component", "python", "--prefix", str(package.parent)],
            check=True,
        )
        # The library under the name the module asks for (its SONAME).
        library = Path((build / "python" / "library-file.txt").read_text().strip())
        shutil.copyfile(library.resolve(), package / library.name)


setup(
    version=project_version(),
    ext_modules=[Extension("corvane_vorn._corvane_vorn", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Not ./build: that is the tree of `make build`.
    options={"build": {"build_base": "build-python"}},
    zip_safe=False,
)
