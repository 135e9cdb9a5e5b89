"""The Python package catadump for pip: `pip install --no-build-isolation .` from the source tree.

The compiled part, catadump._catadump, is the CMake build's own target catadump_python, configured for a
module that stands alone (the library linked into it) and built in setuptools' build_temp; build_ext copies
what CMake made into the wheel. The package's Python files are those of src/python/catadump. The version is
the one CMakeLists.txt gives the project.
"""

import glob
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, find_packages, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext
from setuptools.command.egg_info import egg_info

ROOT = os.path.dirname(os.path.abspath(__file__))
# Not build/, where the CMake build of the tree usually is: what setuptools makes stays apart from it.
BUILD_BASE = "build-pip"


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake_lists:
        found = re.search(r"\bproject\s*\(\s*catadump\b[^)]*\bVERSION\s+([0-9][0-9.]*)", cmake_lists.read())
    if found is None:
        sys.exit("setup.py: no project(catadump VERSION ...) in CMakeLists.txt")
    return found.group(1)


class BuildInItsOwnFolder(build):
    def initialize_options(self):
        super().initialize_options()
        self.build_base = BUILD_BASE


class EggInfoInTheBuildFolder(egg_info):
    """The package's metadata goes under the build folder too, not beside the source."""

    def initialize_options(self):
        super().initialize_options()
        self.egg_base = None

    def finalize_options(self):
        if self.egg_base is None:
            os.makedirs(BUILD_BASE, exist_ok=True)
            self.egg_base = BUILD_BASE
        super().finalize_options()


class BuildWithCMake(build_ext):
    """Builds each extension as the CMake target of the same build, then copies the module into place."""

    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("setup.py: catadump is built with CMake, and no cmake is on PATH")
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = [
            cmake,
            "-S",
            ROOT,
            "-B",
            build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DCATADUMP_BUILD_TESTS=OFF",
            "-DCATADUMP_BUILD_TOOLS=OFF",
            "-DCATADUMP_PYTHON_STATIC=ON",
            "-DPython3_EXECUTABLE=" + sys.executable,
        ]
        jobs = self.parallel or os.cpu_count() or 1
        subprocess.run(configure, check=True)
        subprocess.run([cmake, "--build", build_dir, "--target", "catadump_python", "--parallel", str(jobs)],
                       check=True)

        # CMake names the module as this interpreter wants it, so there is exactly one.
        built = glob.glob(os.path.join(build_dir, "python", "catadump", "_catadump*.so"))
        if len(built) != 1:
            sys.exit(f"setup.py: expected one _catadump*.so from CMake in {build_dir}, found {built}")
        target = self.get_ext_fullpath(ext.name)
        if os.path.basename(target) != os.path.basename(built[0]):
            sys.exit(f"setup.py: CMake built {os.path.basename(built[0])}, this Python loads "
                     f"{os.path.basename(target)}")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        self.copy_file(built[0], target)


setup(
    version=project_version(),
    packages=find_packages("src/python", include=["catadump", "catadump.*"]),
    package_dir={"": "src/python"},
    ext_modules=[Extension("catadump._catadump", sources=[])],
    cmdclass={"build": BuildInItsOwnFolder, "egg_info": EggInfoInTheBuildFolder, "build_ext": BuildWithCMake},
    zip_safe=False,
)
