#!/usr/bin/env python3
"""Checks the wheel of the Python package kivo: named for the project's
version and tagged for the Python that checks it (its CPython version and ABI,
linux_x86_64: a wheel built against this system's C and C++ libraries claims
no manylinux policy); its extension module needs only the system's C and C++
runtime libraries, found without a run path. Prints the newest symbol version
it needs of each of them.

usage: check_wheel.py WHEEL VERSION
Exit status 0 when all holds, 1 otherwise.
"""
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

# What every Linux system has (glibc, GCC's C++ runtime).
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                    "ld-linux-x86-64.so.2", "libstdc++.so.6", "libgcc_s.so.1"}


def expected_tag():
    python = "cp%d%d" % sys.version_info[:2]
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s-%s-%s" % (python, python, platform)


def newest_versions(symbol_table):
    """The newest version of each versioned library the table's symbols need: {"GLIBC": "2.34", ...}."""
    newest = {}
    for family, number in re.findall(r"\b(GLIBC|GLIBCXX|CXXABI|GCC)_(\d+(?:\.\d+)*)", symbol_table):
        parts = tuple(int(p) for p in number.split("."))
        newest[family] = max(newest.get(family, parts), parts)
    return {family: ".".join(map(str, parts)) for family, parts in sorted(newest.items())}


def check_module(path, problems):
    dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
    foreign = sorted(needed - SYSTEM_LIBRARIES)
    if foreign:
        problems.append("%s needs libraries that are not the system's: %s" % (os.path.basename(path), foreign))
    if re.search(r"\((RPATH|RUNPATH)\)", dynamic):
        problems.append("%s has a run path" % os.path.basename(path))
    symbols = subprocess.run(["objdump", "-T", path], capture_output=True, text=True, check=True).stdout
    print("%s: needs %s; newest symbol versions %s" % (os.path.basename(path), ", ".join(sorted(needed)),
                                                       newest_versions(symbols)))


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    wheel, version = sys.argv[1], sys.argv[2]
    problems = []
    name = os.path.basename(wheel)
    wanted = "kivo-%s-%s.whl" % (version, expected_tag())
    if name != wanted:
        problems.append("is named %s, not %s" % (name, wanted))
    with zipfile.ZipFile(wheel) as archive, tempfile.TemporaryDirectory() as scratch:
        wheel_files = [n for n in archive.namelist() if re.fullmatch(r"kivo-[^/]+\.dist-info/WHEEL", n)]
        metadata = archive.read(wheel_files[0]).decode() if len(wheel_files) == 1 else ""
        if wheel_files != ["kivo-%s.dist-info/WHEEL" % version]:
            problems.append("holds %s, not kivo-%s.dist-info/WHEEL" % (wheel_files, version))
        if "Tag: %s\n" % expected_tag() not in metadata or "Root-Is-Purelib: false" not in metadata:
            problems.append("its WHEEL file says %r" % metadata)
        modules = [n for n in archive.namelist() if n.startswith("kivo/_kivo.") and n.endswith(".so")]
        if len(modules) != 1:
            problems.append("holds extension modules %s, not one kivo/_kivo" % modules)
        for module in modules:
            check_module(archive.extract(module, scratch), problems)
    for problem in problems:
        print("%s: %s" % (wheel, problem), file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
