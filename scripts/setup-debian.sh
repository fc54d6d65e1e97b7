#!/usr/bin/env bash
# Installs the Debian 12 packages this project needs, skipping those already
# installed. Usage: scripts/setup-debian.sh [build|test|demo|bench]
set -euo pipefail

build_packages=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev
                octave liboctave-dev nlohmann-json3-dev pybind11-dev python3-dev
                python3-skbuild python3-pybind11 python3-build python3-venv dpkg-dev help2man ccache)
test_packages=(octave-signal python3 python3-numpy python3-pytest python3-matplotlib
               socat iproute2 clang libclang-rt-14-dev
               gnuplot-nox fonts-freefont-otf e2fsprogs util-linux
               g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 llvm lld zip clang-format
               python3-mne)
demo_packages=(octave-signal python3 python3-numpy python3-matplotlib gnuplot-nox fonts-freefont-otf)
# What bench/recorder and bench/peers compare against, beside the tests' packages.
bench_packages=(socat tcpdump octave-instrument-control)

case "${1:-test}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  demo) wanted=("${build_packages[@]}" "${demo_packages[@]}") ;;
  bench) wanted=("${build_packages[@]}" "${test_packages[@]}" "${bench_packages[@]}") ;;
  *) echo "usage: $0 [build|test|demo|bench]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
# npm fetches zig for the macOS and packaged Linux builds; a Node.js from
# elsewhere may bring its own npm, which Debian's would conflict with.
if [[ "${1:-test}" == test ]] && ! command -v npm >/dev/null; then
  missing+=(npm)
fi
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "run as root or install sudo" >&2; exit 1; }
  sudo=sudo
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
