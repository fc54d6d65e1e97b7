#!/usr/bin/env bash
# Cross-builds everything for Windows with MinGW-w64 (posix thread model):
#   build-win64: velto.mexw64, kivorec.exe, kivosim.exe, kivoinspect.exe,
#                kivoexport.exe and the Windows tests (run under wine64 by
#                scripts/test-windows.sh)
#   build-win32: velto.mexw32 and the same programs for 32-bit Windows
# GoogleTest is built first from Debian's sources (/usr/src/googletest) with
# the same toolchain, into the build folder.
#
# usage: scripts/build-windows.sh [--arch win64|win32|all] [--werror] [-- <cmake -D...>...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
arches=(win64 win32)
extra=()
werror=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --arch) shift; [[ "$1" == all ]] && arches=(win64 win32) || arches=("$1") ;;
    --werror) werror=1 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "usage: $0 [--arch win64|win32|all] [--werror] [-- <cmake -D...>...]" >&2; exit 2 ;;
  esac
  shift
done

googletest_source=/usr/src/googletest
toolchain="$root/cmake/toolchains/mingw-w64.cmake"

# GoogleTest for one architecture, installed into <build>/googletest.
build_googletest() {
  local preset=$1 arch=$2 build="$root/build-$1"
  [[ -f "$build/googletest/lib/cmake/GTest/GTestConfig.cmake" ]] && return 0
  [[ -d "$googletest_source" ]] || { echo "$googletest_source missing: install libgtest-dev" >&2; exit 1; }
  cmake -S "$googletest_source" -B "$build/googletest-build" -G Ninja --toolchain "$toolchain" \
    -DKIVO_MINGW_ARCH="$arch" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON \
    -DCMAKE_INSTALL_PREFIX="$build/googletest" >/dev/null
  cmake --build "$build/googletest-build" -j "$jobs" >/dev/null
  cmake --install "$build/googletest-build" >/dev/null
}

for preset in "${arches[@]}"; do
  case "$preset" in
    win64) arch=x86_64 ;;
    win32) arch=i686 ;;
    *) echo "unknown architecture $preset (win64 or win32)" >&2; exit 2 ;;
  esac
  echo "== $preset ($arch-w64-mingw32)"
  build_googletest "$preset" "$arch"
  flags=(-DCMAKE_CXX_FLAGS= -DCMAKE_C_FLAGS=)
  [[ $werror -eq 1 ]] && flags=(-DCMAKE_CXX_FLAGS=-Werror -DCMAKE_C_FLAGS=-Werror)
  (cd "$root" && cmake --preset "$preset" "${flags[@]}" "${extra[@]}" >/dev/null &&
    cmake --build --preset "$preset" -j "$jobs")
done
