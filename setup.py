# Builds the Python package with CMake: the extension tiltfit._core, the tiltfit executable and its
# manual page come from one CMake build and go into the wheel (the executable into the
# environment's bin/, the page into share/man/man1/).
#
# The CMake build folder is TILTFIT_CMAKE_BUILD_DIR when set (an existing build is reused: only
# what is out of date is built, and it is configured with -DTILTFIT_PYTHON=ON if it is not yet),
# else build-pip/cmake in the source tree. CMAKE_BUILD_PARALLEL_LEVEL sets the jobs (default 2).
import os
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_DIR = os.path.abspath(
    os.environ.get("TILTFIT_CMAKE_BUILD_DIR") or os.path.join(HERE, "build-pip", "cmake"))
TARGETS = ["tiltfit_python", "tiltfit", "tiltfit_manpage"]
# Where the build puts the executable and the page for the wheel's data (relative, as setuptools
# wants its data files named): they install under the environment's prefix.
STAGE = os.path.join("build-pip", "data")
DATA_FILES = {
    "tiltfit": os.path.join(STAGE, "bin", "tiltfit"),
    "tiltfit.1": os.path.join(STAGE, "share", "man", "man1", "tiltfit.1"),
}


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as f:
        found = re.search(r"project\(tiltfit\s+VERSION\s+([0-9.]+)", f.read())
    if not found:
        raise RuntimeError("CMakeLists.txt names no project version")
    return found.group(1)


def cache_value(name):
    try:
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt"), encoding="utf-8") as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
    except FileNotFoundError:
        return None
    return ""


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class BuildWithCMake(build_ext):
    def run(self):
        configured = cache_value("CMAKE_HOME_DIRECTORY")
        if configured is None or cache_value("TILTFIT_PYTHON") not in ("ON", "TRUE", "1"):
            args = ["-DTILTFIT_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}"]
            if configured is None:
                # A build of its own needs no tests; an existing one keeps its options.
                args += ["-DTILTFIT_BUILD_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release"]
            self.spawn(["cmake", "-S", HERE, "-B", BUILD_DIR] + args)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        self.spawn(["cmake", "--build", BUILD_DIR, "-j", jobs, "--target"] + TARGETS)
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        built = os.path.join(BUILD_DIR, "python", "tiltfit", "_core" + suffix)
        if not os.path.exists(built):
            raise RuntimeError(f"{built} was not built: the CMake build is for another Python")
        for ext in self.extensions:
            target = self.get_ext_fullpath(ext.name)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(built, target)
        for name, staged in DATA_FILES.items():
            staged = os.path.join(HERE, staged)
            os.makedirs(os.path.dirname(staged), exist_ok=True)
            shutil.copy2(os.path.join(BUILD_DIR, name), staged)


os.makedirs(os.path.join(HERE, "build-pip"), exist_ok=True)
setup(
    version=project_version(),
    packages=["tiltfit"],
    package_dir={"": "python"},
    package_data={"tiltfit": ["*.pyi", "py.typed"]},
    ext_modules=[CMakeExtension("tiltfit._core")],
    cmdclass={"build_ext": BuildWithCMake},
    data_files=[(os.path.dirname(os.path.relpath(p, STAGE)), [p]) for p in DATA_FILES.values()],
    options={"build": {"build_base": os.path.join("build-pip", "setuptools")},
             "egg_info": {"egg_base": "build-pip"}},
    zip_safe=False,
)
