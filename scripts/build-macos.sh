#!/usr/bin/env bash
# Cross-builds for macOS with zig on Debian, and checks what was built:
#   build-macos-x86_64: velto.mexmaci64 (Intel), kivorec, kivosim, kivoinspect
#   build-macos-arm64:  velto.mexmaca64 (Apple silicon) and the same programs
# then runs each build's symbol checks (CTest label "symbols": velto exports
# _mexFunction alone and imports only MATLAB's names, the architectures).
# zig is fetched by scripts/zig.sh into a cache outside the source tree; its
# first build of the C++ library for a target takes a minute or two, later
# builds reuse it.
#
# usage: scripts/build-macos.sh [--arch x86_64|arm64|all] [--werror] [--targets "t1 t2"]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
arches=(x86_64 arm64)
targets=(velto_matlab_mex kivorec kivosim kivoinspect)
werror=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --arch) shift; [[ "$1" == all ]] && arches=(x86_64 arm64) || arches=("$1") ;;
    --werror) werror=1 ;;
    --targets) shift; read -r -a targets <<<"$1" ;;
    *) echo "usage: $0 [--arch x86_64|arm64|all] [--werror] [--targets \"t1 t2\"]" >&2; exit 2 ;;
  esac
  shift
done

"$root/scripts/setup-debian.sh" test   # lld, llvm and npm among them
zig=$("$root/scripts/zig.sh")
for arch in "${arches[@]}"; do
  case "$arch" in
    x86_64) zig_target=x86_64-macos ;;
    arm64) zig_target=aarch64-macos ;;
    *) echo "unknown architecture $arch (x86_64 or arm64)" >&2; exit 2 ;;
  esac
  build="$root/build-macos-$arch"
  echo "== macOS $arch ($zig_target)"
  flags=(-DCMAKE_CXX_FLAGS= -DCMAKE_C_FLAGS=)
  [[ $werror -eq 1 ]] && flags=(-DCMAKE_CXX_FLAGS=-Werror -DCMAKE_C_FLAGS=-Werror)
  cmake -S "$root" -B "$build" -G Ninja --toolchain "$root/cmake/toolchains/zig.cmake" \
    -DKIVO_ZIG="$zig" -DKIVO_ZIG_TARGET="$zig_target" -DCMAKE_BUILD_TYPE=Release \
    -DKIVO_BUILD_BENCH=OFF "${flags[@]}" >/dev/null
  cmake --build "$build" -j "$jobs" --target "${targets[@]}"
  ctest --test-dir "$build" --output-on-failure -L symbols
done
