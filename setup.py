"""Builds the extension module with the project's CMake build and installs the one abi3 object."""

import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
TARGET = "sorvel_vector_db"


class CMakeBuildExt(build_ext):
    """Configures and builds the module target with CMake + Ninja, then copies the .abi3.so to
    where setuptools expects the extension. Needs no network: only the system's compilers and
    libraries are used."""

    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        subprocess.run(
            [
                "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython3_EXECUTABLE={sys.executable}",
                "-DSORVEL_BUILD_BENCH=OFF",
            ],
            check=True,
        )
        subprocess.run(["cmake", "--build", str(build_dir), "--target", TARGET], check=True)
        built = build_dir / "python" / f"{TARGET}.abi3.so"
        destination = Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, destination)


setup(
    ext_modules=[Extension(TARGET, sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuildExt},
    options={
        "bdist_wheel": {"py_limited_api": "cp311"},
        # Out of the way of the CMake build trees under build/.
        "build": {"build_base": "build-pip"},
    },
)
