"""pip install --no-build-isolation .

Builds the C++ core with CMake and installs the kestrune package (extension
modules, the native commands in kestrune/bin, grammars when built) with a
console script per command. KESTRUNE_BUILD_DIR names an existing CMake build of
this checkout to reuse (for a Python of the same ABI); without it the build
goes to build/python/cmake, configured for the Python running pip.
"""
import os
import re
import runpy
import shutil
import subprocess
import sys
import sysconfig

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_BASE = os.path.join("build", "python")

# The one list of commands is the package's own (entry point name -> native command).
COMMANDS = runpy.run_path(os.path.join(HERE, "src", "kestrune", "_commands.py"))["COMMANDS"]


def version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(kestrune\s+VERSION\s+([0-9.]+)", f.read()).group(1)


def cmake(*args):
    print("cmake", *args, flush=True)
    subprocess.run(["cmake", *args], check=True)


class BuildWithCMake(build_py):
    """The Python files as usual, then the CMake build installed beside them."""

    def run(self):
        super().run()
        if not shutil.which("cmake"):
            sys.exit("kestrune: cmake is needed to build the C++ core (scripts/bootstrap.sh installs it)")
        build_dir = os.environ.get("KESTRUNE_BUILD_DIR")
        if build_dir and os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            build_dir = os.path.abspath(build_dir)
        else:
            build_dir = os.path.abspath(build_dir or os.path.join(HERE, BUILD_BASE, "cmake"))
            generator = ["-G", "Ninja"] if shutil.which("ninja") else []
            cmake("-S", HERE, "-B", build_dir, *generator, "-DCMAKE_BUILD_TYPE=Release",
                  "-DKESTRUNE_TESTS=OFF", f"-DKESTRUNE_OUTPUT_DIR={os.path.join(build_dir, 'kestrune')}",
                  f"-DPython_EXECUTABLE={sys.executable}")
        cmake("--build", build_dir, "--target", "kestrune_runtime", "-j", str(os.cpu_count() or 1))
        cmake("--install", build_dir, "--prefix", os.path.abspath(self.build_lib))
        # A reused build may hold modules for another Python; they would not import.
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        package = os.path.join(self.build_lib, "kestrune")
        if not any(name.endswith(suffix) for name in os.listdir(package)):
            sys.exit(f"kestrune: the build in {build_dir} has no extension modules for this Python ({suffix})")


os.makedirs(os.path.join(HERE, BUILD_BASE), exist_ok=True)


class BinaryDistribution(Distribution):
    """Native code inside: the wheel is tagged for this platform and Python."""

    def has_ext_modules(self):
        return True


setup(
    name="kestrune",
    version=version(),
    description="A graph-backed picture of a project for an AI coding assistant",
    python_requires=">=3.10",
    package_dir={"": "src"},
    packages=["kestrune"],
    cmdclass={"build_py": BuildWithCMake},
    distclass=BinaryDistribution,
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
    entry_points={"console_scripts": [f"{cmd} = kestrune._commands:{attr}" for attr, cmd in COMMANDS.items()]},
    zip_safe=False,
)
