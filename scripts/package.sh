#!/usr/bin/env bash
# What a user downloads: dist/kivo-<version>-<platform>.zip for win64, win32,
# maci64, maca64 and glnxa64, the Python wheel
# dist/kivo-<version>-cpXY-cpXY-linux_x86_64.whl, the Debian package
# dist/kivo_<version>_amd64.deb, and dist/SHA256SUMS beside them. Each zip
# holds velto's MEX file for that MATLAB, kivo_read.m, QUICKSTART.txt,
# README.md, and (but for win32) kivorec, kivoinspect and kivoexport built
# for that platform; the win64 zip also kivosim, so that a Windows user can
# try everything before the device is connected. The wheel
# is built by Debian's python3 (python3-skbuild, pyproject.toml), the Debian
# package by CPack from the main build (build/, the dev preset).
#
# Builds what is missing first: the Windows builds (scripts/build-windows.sh),
# the macOS builds (scripts/build-macos.sh) and build-glnxa64, zig's Linux
# build that carries its C++ library inside and needs glibc 2.28 or later
# (so it loads beside MATLAB's own, older C++ library), checked by its CTest
# symbol checks.
#
# usage: scripts/package.sh [--rebuild]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
rebuild=0
[[ "${1:-}" == --rebuild ]] && rebuild=1
version=$(sed -n 's/^project(kivo VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
dist="$root/dist"

built() { [[ $rebuild -eq 0 && -f "$1" ]]; }

build_linux_portable() {
  local zig
  zig=$("$root/scripts/zig.sh")
  (cd "$root" && export KIVO_ZIG="$zig" && cmake --preset glnxa64 >/dev/null &&
    cmake --build --preset glnxa64 -j "$jobs" && ctest --preset glnxa64)
}

built "$root/build-win64/velto.mexw64" && built "$root/build-win32/velto.mexw32" ||
  "$root/scripts/build-windows.sh" --arch all
built "$root/build-macos-x86_64/velto.mexmaci64" && built "$root/build-macos-arm64/velto.mexmaca64" ||
  "$root/scripts/build-macos.sh" --arch all
built "$root/build-glnxa64/velto.mexa64" || build_linux_portable

# quickstart <mex file> <programs...>: the text of QUICKSTART.txt.
quickstart() {
  local mex=$1
  shift
  cat <<TEXT
Kivo stream recorder $version

1. Put $mex and kivo_read.m into one folder, for example ~/kivo, and add it
   to MATLAB's path:

     addpath('~/kivo')      % savepath after it keeps it

2. First session, with the device sending to UDP port 55000 of this computer:

     velto('open', 55000, 8, pwd);       % 8 channels, into the current folder; prints the file
     pause(5)                            % record for 5 s
     s = velto('status')                 % datagrams, sequence_gaps, raw_file, ...
     velto('close')
     rec = kivo_read(s.raw_file);  plot(rec.samples(:, 1))

   help kivo_read, and README.md in this folder, say more.
TEXT
  if [[ $# -gt 0 ]]; then
    cat <<TEXT

3. The console programs, from a terminal in this folder:

     ./$1 8                  records 8 channels from port 55000 until Ctrl-C
     ./$2 <file>.dat    checks a recording and prints its summary
     ./$3 <file>.dat     writes it as BrainVision files (.vhdr, .vmrk, .eeg)
                          for MNE-Python, EEGLAB and FieldTrip
TEXT
  fi
}

# The QUICKSTART.txt of the win64 zip: Windows paths, a first session
# against kivosim.exe, the firewall and the device's destination.
quickstart_windows() {
  cat <<'TEXT' | sed "s/@VERSION@/$version/"
Kivo stream recorder @VERSION@ for 64-bit Windows

1. Unzip this folder, for example to C:\kivo, and add it to MATLAB's path:

     addpath('C:\kivo')      % savepath after it keeps it

2. No device yet? Start the simulator in a Command Prompt:

     cd C:\kivo
     kivosim.exe --channels 8

   It sends what the device sends (8 channels, 1000 datagrams a second) to
   UDP port 55000 of this computer until you press Ctrl-C.

3. First session, in MATLAB:

     velto('open', 55000, 8, pwd);       % 8 channels, into the current folder; prints the file
     pause(5)                            % record for 5 s
     s = velto('status')                 % datagrams, sequence_gaps, raw_file, ...
     velto('close')
     rec = kivo_read(s.raw_file);  plot(rec.samples(:, 1))

   The first 'open' may bring up "Windows Defender Firewall has blocked some
   features of this app" for MATLAB: allow it on private networks, or no
   datagram from the device arrives. If s.datagrams stays 0 while the device
   sends, look there first (kivosim on this computer passes the firewall).

4. The device: set its destination address to this computer's IPv4 address
   (ipconfig in a Command Prompt shows it) and its destination port to 55000,
   or to the port you give 'open'.

5. The console programs, in a Command Prompt in C:\kivo:

     kivorec.exe 8                      records 8 channels from port 55000 until Ctrl-C
     kivoinspect.exe <file>.dat         checks a recording and prints its summary
     kivoexport.exe <file>.dat          writes it as BrainVision files (.vhdr, .vmrk,
                                        .eeg) for MNE-Python, EEGLAB and FieldTrip

   help kivo_read, and README.md in this folder, say more.
TEXT
}

# package <platform> <mex file> [<program>...]: one zip.
package() {
  local platform=$1 mex=$2
  shift 2
  local name="kivo-$version-$platform" stage
  stage=$(mktemp -d)
  mkdir "$stage/$name"
  cp "$mex" "$root/matlab/kivo_read.m" "$root/README.md" "$stage/$name/"
  local programs=()
  for program in "$@"; do
    cp "$program" "$stage/$name/"
    programs+=("$(basename "$program")")
  done
  # Debug information stays at home; Mach-O files keep their code signature.
  local strip=""
  case "$platform" in
    win64) strip=x86_64-w64-mingw32-strip ;;
    win32) strip=i686-w64-mingw32-strip ;;
    glnxa64) strip=strip ;;
  esac
  if [[ -n "$strip" ]]; then
    for file in "$stage/$name/$(basename "$mex")" "${programs[@]/#/$stage/$name/}"; do
      "$strip" --strip-debug "$file"
    done
  fi
  if [[ "$platform" == win64 ]]; then
    quickstart_windows >"$stage/$name/QUICKSTART.txt"
  else
    quickstart "$(basename "$mex")" "${programs[@]}" >"$stage/$name/QUICKSTART.txt"
  fi
  rm -f "$dist/$name.zip"
  (cd "$stage" && zip -q -r -X "$dist/$name.zip" "$name")
  rm -rf "$stage"
  echo "$dist/$name.zip"
}

# The wheel, for the Python that builds it; the build in _skbuild/ is reused.
wheel() {
  (cd "$root" && /usr/bin/python3 -m build --wheel --no-isolation --outdir "$dist" . >/dev/null)
  ls "$dist"/kivo-"$version"-*.whl
}

# The Debian package of the programs, from the main build (optimised, with
# debugging information, which CPack strips: as Debian builds its packages).
debian_package() {
  (cd "$root" && cmake --preset dev >/dev/null && cmake --build --preset dev -j "$jobs" --target kivo_programs >/dev/null)
  rm -rf "$root/build/deb"
  (cd "$root/build" && cpack -G DEB -B "$root/build/deb" >/dev/null)
  cp "$root/build/deb/"kivo_"$version"_*.deb "$dist/"
  ls "$dist"/kivo_"$version"_*.deb
}

mkdir -p "$dist"
w64="$root/build-win64" w32="$root/build-win32" mi="$root/build-macos-x86_64" ma="$root/build-macos-arm64"
lx="$root/build-glnxa64"
package win64 "$w64/velto.mexw64" "$w64/recorder/kivorec.exe" "$w64/tools/kivoinspect/kivoinspect.exe" \
  "$w64/tools/kivoexport/kivoexport.exe" "$w64/tools/kivosim/kivosim.exe"
package win32 "$w32/velto.mexw32"
package maci64 "$mi/velto.mexmaci64" "$mi/recorder/kivorec" "$mi/tools/kivoinspect/kivoinspect" \
  "$mi/tools/kivoexport/kivoexport"
package maca64 "$ma/velto.mexmaca64" "$ma/recorder/kivorec" "$ma/tools/kivoinspect/kivoinspect" \
  "$ma/tools/kivoexport/kivoexport"
package glnxa64 "$lx/velto.mexa64" "$lx/recorder/kivorec" "$lx/tools/kivoinspect/kivoinspect" \
  "$lx/tools/kivoexport/kivoexport"
wheel
debian_package
(cd "$dist" && sha256sum kivo-"$version"-*.zip kivo-"$version"-*.whl kivo_"$version"_*.deb >SHA256SUMS)
cat "$dist/SHA256SUMS"
