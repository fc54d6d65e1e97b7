#!/usr/bin/env python3
"""Checks what a MATLAB binary, or a stand-in for MATLAB's libraries, exports
and imports, and its architecture, in any of the three object formats (ELF,
PE, Mach-O), with LLVM's objdump and nm.

  check_matlab_binary.py --names NAMES --arch ARCH [--standin | --program] [--max-glibc X.Y]
                         [--llvm-objdump P] [--llvm-nm P] FILE

A plug-in (the default) must export mexFunction alone and import from
MATLAB's libraries only names in NAMES (one "library name" a line), never a
32-bit NAME_700. A stand-in must export only names in NAMES, besides its own
standin_ entry points. A program is checked for its architecture only.
--max-glibc: an ELF file that must load beside MATLAB's own C++ library on
older Linux systems needs no C++ runtime library and no glibc symbol version
newer than X.Y. Exit status 0 when all holds, 1 otherwise, 2 on bad use.
"""
import argparse
import re
import subprocess
import sys

ARCH_FORMATS = {  # what llvm-objdump -f calls each architecture
    "x86_64": ("elf64-x86-64", "coff-x86-64", "mach-o 64-bit x86-64"),
    "i386": ("elf32-i386", "coff-i386"),
    "arm64": ("mach-o arm64", "elf64-littleaarch64"),
}
MATLAB_PREFIX = re.compile(r"^_?(mx|mex)[A-Z]")


def run(*command, check=True):
    return subprocess.run(command, check=check, capture_output=True, text=True).stdout


def file_format(objdump, path):
    # llvm-objdump 14 names a Mach-O file's format and then fails on the rest of -f.
    found = re.search(r"file format (.+)", run(objdump, "-f", path, check=False))
    return found.group(1).strip().lower() if found else ""


def pe_tables(objdump, path):
    """Exported names, and imported names by DLL, from llvm-objdump -p."""
    dump = run(objdump, "-p", path)
    exports, imports, dll = [], {}, None
    section = None
    for line in dump.splitlines():
        if line.startswith("Export Table:"):
            section = "exports"
        elif line.startswith("The Import Tables:"):
            section = "imports"
        elif section == "exports":
            entry = re.match(r"^\s+\d+\s+0x[0-9a-f]+\s+(\S+)$", line)
            if entry:
                exports.append(entry.group(1))
        elif section == "imports":
            name = re.match(r"^\s+DLL Name: (\S+)", line)
            entry = re.match(r"^\s+\d+\s+(\S+)$", line)
            if name:
                dll = name.group(1).lower()
                imports.setdefault(dll, [])
            elif entry and dll:
                imports[dll].append(entry.group(1))
    return exports, imports


def nm_names(nm, path, *flags):
    names = []
    for line in run(nm, *flags, path).splitlines():
        words = line.split()
        if words:
            names.append(words[-1].split("@")[0])
    return names


def tables(fmt, objdump, nm, path):
    """(exports, MATLAB imports) of the file, names as the format spells them."""
    if fmt.startswith("coff") or fmt.startswith("pe"):
        exports, imports = pe_tables(objdump, path)
        matlab = [n for dll in ("libmx.dll", "libmex.dll") for n in imports.get(dll, [])]
        return exports, matlab
    dynamic = ["-D"] if fmt.startswith("elf") else ["-g"]
    exports = nm_names(nm, path, *dynamic, "--defined-only")
    undefined = nm_names(nm, path, *dynamic, "--undefined-only")
    return exports, [n for n in undefined if MATLAB_PREFIX.match(n)]


def glibc_problems(objdump, path, newest):
    """What keeps an ELF file from loading on a glibc of version `newest`
    beside another C++ library: its C++ runtime needs and newer symbol versions."""
    problems = []
    needed = re.findall(r"NEEDED\s+(\S+)", run(objdump, "-p", path))
    runtimes = [n for n in needed if re.match(r"lib(std)?c\+\+|libc\+\+abi|libgcc_s", n)]
    if runtimes:
        problems.append(f"needs C++ runtime libraries {runtimes}")
    versions = {tuple(int(p) for p in v.split(".")) for v in re.findall(r"GLIBC_(\d+(?:\.\d+)+)", run(objdump, "-T", path))}
    limit = tuple(int(p) for p in newest.split("."))
    newer = sorted(v for v in versions if v > limit)
    if newer:
        problems.append("needs glibc " + ", ".join(".".join(map(str, v)) for v in newer) + f", newer than {newest}")
    return problems


def macos_minimum(objdump, path):
    found = re.search(r"\bminos (\d+\.\d+(?:\.\d+)?)", run(objdump, "--macho", "--private-headers", path))
    return found.group(1) if found else "unknown"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--names", required=True)
    parser.add_argument("--arch", required=True, choices=sorted(ARCH_FORMATS))
    parser.add_argument("--standin", action="store_true")
    parser.add_argument("--program", action="store_true")
    parser.add_argument("--max-glibc")
    parser.add_argument("--llvm-objdump", default="llvm-objdump")
    parser.add_argument("--llvm-nm", default="llvm-nm")
    parser.add_argument("file")
    args = parser.parse_args()

    with open(args.names, encoding="utf-8") as listing:
        matlab_names = {line.split()[1] for line in listing if line.strip() and not line.startswith("#")}
    fmt = file_format(args.llvm_objdump, args.file)
    if not fmt:
        print(f"{args.file}: not an object file llvm-objdump knows", file=sys.stderr)
        return 1
    underscore = "_" if fmt.startswith("mach-o") else ""
    exports, imports = tables(fmt, args.llvm_objdump, args.llvm_nm, args.file)
    plain = lambda name: name[len(underscore):] if name.startswith(underscore) else name

    problems = []
    if fmt not in ARCH_FORMATS[args.arch]:
        problems.append(f"is {fmt}, not {args.arch}")
    if fmt == "mach-o arm64" and "LC_CODE_SIGNATURE" not in run(args.llvm_objdump, "--macho", "--private-headers", args.file):
        problems.append("has no code signature, without which Apple silicon runs no code")
    if args.max_glibc:
        problems += glibc_problems(args.llvm_objdump, args.file, args.max_glibc)
    if args.program:
        pass
    elif args.standin:
        foreign = [n for n in exports if plain(n) not in matlab_names and not plain(n).startswith("standin_")]
        if foreign:
            problems.append(f"exports names MATLAB's libraries do not: {foreign}")
    else:
        if exports != [underscore + "mexFunction"]:
            problems.append(f"exports {exports}, not {underscore}mexFunction alone")
        unknown = [n for n in imports if plain(n) not in matlab_names]
        if unknown:
            problems.append(f"imports names MATLAB does not export: {unknown}")
        narrow = [n for n in imports if plain(n).endswith("_700")]
        if narrow:
            problems.append(f"imports 32-bit size variants: {narrow}")
        if not imports:
            problems.append("imports nothing from MATLAB")
    for problem in problems:
        print(f"{args.file}: {problem}", file=sys.stderr)
    if not problems:
        minimum = f"; macOS {macos_minimum(args.llvm_objdump, args.file)} or later" if underscore else ""
        shown = "" if args.program else f"; exports {exports}; MATLAB imports {sorted(imports)}"
        print(f"{args.file}: {fmt}{minimum}{shown}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
