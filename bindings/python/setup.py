"""Builds the tavisk package: CMake compiles libtavisk.so.0 from this checkout and
the build places it inside the package, so the wheel needs nothing installed
beside it but the system libraries the library links (libfyaml, ICU).

    python3 -m pip wheel --no-build-isolation --no-deps -w dist bindings/python
    python3 -m pip install --no-build-isolation -e bindings/python   # contributors

Setting TAVISK_BUILD_DIR to a configured CMake build directory of this checkout
reuses it instead of configuring a private one under build/cmake.
"""

import os
import shutil
import subprocess

from setuptools import Command, Distribution, setup
from setuptools.command.build import build

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # pragma: no cover - only sdists can be made then
    bdist_wheel = None

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))
SONAME = "libtavisk.so.0"


class build_native(Command):
    """Compiles the library with CMake and copies it into the package."""

    description = "build %s with CMake and place it in the package" % SONAME
    user_options = [("cmake-build-dir=", None, "CMake build directory (default: build/cmake)")]

    def initialize_options(self):
        self.cmake_build_dir = None
        self.build_lib = None
        self.build_base = None
        self.editable_mode = False
        self.target = None

    def finalize_options(self):
        self.set_undefined_options("build", ("build_lib", "build_lib"), ("build_base", "build_base"))
        if self.cmake_build_dir is None:
            self.cmake_build_dir = os.environ.get("TAVISK_BUILD_DIR") or os.path.join(
                os.path.abspath(self.build_base), "cmake"
            )
        package_root = os.path.join(HERE, "tavisk") if self.editable_mode else os.path.join(self.build_lib, "tavisk")
        self.target = os.path.join(package_root, SONAME)

    def run(self):
        if not os.path.exists(os.path.join(CHECKOUT, "include", "tavisk.h")):
            raise SystemExit("tavisk: build the package from a checkout of the repository (no sources at %s)" % CHECKOUT)
        bdir = self.cmake_build_dir
        if not os.path.exists(os.path.join(bdir, "CMakeCache.txt")):
            configure = ["cmake", "-S", CHECKOUT, "-B", bdir, "-DCMAKE_BUILD_TYPE=Release", "-DTAVISK_TESTS=OFF"]
            if shutil.which("ninja"):
                configure += ["-G", "Ninja"]
            self.spawn(configure)
        self.spawn(["cmake", "--build", bdir, "--target", "tavisk", "-j", str(os.cpu_count() or 2)])
        cache = open(os.path.join(bdir, "CMakeCache.txt"), encoding="utf-8").read()
        if "TAVISK_SANITIZE:BOOL=ON" in cache:
            raise SystemExit("tavisk: %s is a sanitizer build; a package needs a plain one" % bdir)
        built = os.path.join(bdir, SONAME)
        os.makedirs(os.path.dirname(self.target), exist_ok=True)
        # Copy the file the soname link points to, then drop debug sections from the copy.
        shutil.copyfile(os.path.realpath(built), self.target)
        os.chmod(self.target, 0o755)
        if shutil.which("strip"):
            subprocess.check_call(["strip", "--strip-unneeded", self.target])

    def get_outputs(self):
        return [self.target]

    def get_source_files(self):
        return []


class build_with_native(build):
    sub_commands = build.sub_commands + [("build_native", None)]


cmdclass = {"build": build_with_native, "build_native": build_native}

if bdist_wheel is not None:

    class bdist_wheel_native(bdist_wheel):
        """A wheel for this platform that any Python 3 can load (ctypes, no extension module)."""

        def get_tag(self):
            return ("py3", "none", super().get_tag()[2])

    cmdclass["bdist_wheel"] = bdist_wheel_native



class NativeDistribution(Distribution):
    """Marks the package as platform-specific, so the library lands in platlib."""

    def has_ext_modules(self):
        return True


setup(cmdclass=cmdclass, distclass=NativeDistribution)
