#!/usr/bin/env bash
# Cross-builds for macOS with zig on Debian, and checks what was built:
#   build-macos-x86_64: velto.mexmaci64 (Intel), kivorec, kivosim, kivoinspect,
#                       kivoexport
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
targets=(velto_matlab_mex kivorec kivosim kivoinspect kivoexport)
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
KIVO_ZIG=$("$root/scripts/zig.sh")
export KIVO_ZIG   # the presets' zig
cd "$root"
for arch in "${arches[@]}"; do
  case "$arch" in
    x86_64|arm64) ;;
    *) echo "unknown architecture $arch (x86_64 or arm64)" >&2; exit 2 ;;
  esac
  echo "== macOS $arch (preset macos-$arch)"
  flags=(-DCMAKE_CXX_FLAGS= -DCMAKE_C_FLAGS=)
  [[ $werror -eq 1 ]] && flags=(-DCMAKE_CXX_FLAGS=-Werror -DCMAKE_C_FLAGS=-Werror)
  cmake --preset "macos-$arch" "${flags[@]}" >/dev/null
  cmake --build --preset "macos-$arch" -j "$jobs" --target "${targets[@]}"
  ctest --preset "macos-$arch"
done
