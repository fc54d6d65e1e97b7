"""The build backend of pyproject.toml: setuptools' own (setup.py builds
through scikit-build and the project's CMake), which also asks for the cmake
and ninja packages where the system lacks a CMake new enough or a build tool,
so that an installed CMake is used as it is and offline builds need no more."""
import re
import shutil
import subprocess

from setuptools import build_meta as _setuptools
from setuptools.build_meta import *  # noqa: F401,F403  (the hooks this backend does not change)

CMAKE_MINIMUM = (3, 21)  # cmake_minimum_required of CMakeLists.txt


def _cmake_version():
    cmake = shutil.which("cmake")
    if not cmake:
        return None
    try:
        text = subprocess.run([cmake, "--version"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    found = re.search(r"(\d+)\.(\d+)", text)
    return (int(found.group(1)), int(found.group(2))) if found else None


def _missing_build_tools():
    missing = []
    version = _cmake_version()
    if version is None or version < CMAKE_MINIMUM:
        missing.append("cmake>=%d.%d" % CMAKE_MINIMUM)
    if not shutil.which("ninja") and not shutil.which("make"):
        missing.append("ninja")
    return missing


def get_requires_for_build_wheel(config_settings=None):
    return _setuptools.get_requires_for_build_wheel(config_settings) + _missing_build_tools()
