#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite
# through CTest, the concurrency tests under ThreadSanitizer and the C++
# tests under AddressSanitizer with UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$root/scripts/setup-debian.sh" test

step() { printf '\n== %s\n' "$*"; }

step "Build and run all tests"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$jobs"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

step "Concurrency tests under ThreadSanitizer"
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKIVO_SANITIZE=thread -DKIVO_BUILD_MEX=OFF -DKIVO_BUILD_BENCH=OFF >/dev/null
cmake --build "$root/build-tsan" -j "$jobs"
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir "$root/build-tsan" --output-on-failure -L "core|recorder|tools"

step "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKIVO_SANITIZE=address,undefined -DKIVO_BUILD_MEX=OFF -DKIVO_BUILD_BENCH=OFF >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" -LE octave

"$root/scripts/test-windows.sh"

step "All tests passed"
