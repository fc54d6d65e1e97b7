"""The Python package kivo, built by scikit-build through the project's CMake
(pyproject.toml says how to run it). The CMake build is a Python-only one:
the acquisition module kivo._kivo and the package's Python files, no
plug-in, programs, tests or benchmarks."""
import re
from pathlib import Path

from skbuild import setup

ROOT = Path(__file__).resolve().parent
PACKAGE_DIR = "python/kivo"


def project_version():
    """The version of project(kivo VERSION ...) in CMakeLists.txt, which the
    module reports as kivo.__version__ too."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"^project\(kivo VERSION ([0-9.]+)", text, re.MULTILINE).group(1)


def pybind11_cmake_args():
    """pybind11's CMake files where pip installed pybind11 (build isolation);
    otherwise CMake finds the system's (Debian: pybind11-dev)."""
    try:
        import pybind11
    except ImportError:
        return []
    return ["-Dpybind11_DIR=" + pybind11.get_cmake_dir()]


def package_files_only(manifest):
    """Of what the CMake build installs, the files of the package kivo (not
    the MATLAB files, which have their own package)."""
    return [path for path in manifest if "/%s/" % PACKAGE_DIR in path.replace("\\", "/")]


setup(
    name="kivo",
    version=project_version(),
    description="Acquire from a Kivo data-acquisition device over UDP, and read its recordings",
    packages=["kivo"],
    package_dir={"kivo": PACKAGE_DIR},
    python_requires=">=3.8",
    install_requires=["numpy"],
    extras_require={"plot": ["matplotlib"]},  # python3 -m kivo plot
    cmake_args=[
        "-DKIVO_BUILD_MEX=OFF",
        "-DKIVO_BUILD_MATLAB=OFF",
        "-DKIVO_BUILD_TESTS=OFF",
        "-DKIVO_BUILD_BENCH=OFF",
        "-DKIVO_BUILD_FUZZ=OFF",
        "-DKIVO_BUILD_PROGRAMS=OFF",
        "-DKIVO_BUILD_PYTHON=ON",
        "-DKIVO_INSTALL_PYTHON_DIR=" + str(Path(PACKAGE_DIR).parent),
    ] + pybind11_cmake_args(),
    cmake_process_manifest_hook=package_files_only,
)
