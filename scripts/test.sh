#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the whole suite
# through CTest (the reliability tests and the short soak among them), the
# concurrency tests under ThreadSanitizer, the C++ tests and the recorder's
# reliability tests under AddressSanitizer with UndefinedBehaviorSanitizer,
# the Windows builds (scripts/test-windows.sh), the portable-POSIX, macOS and
# packaged builds (scripts/test-portable.sh), and each fuzzer for a few seconds.
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
"$root/scripts/test-portable.sh"

step "Fuzzers (libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer), a few seconds each"
cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKIVO_BUILD_FUZZ=ON \
  -DKIVO_SANITIZE=address,undefined -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_MEX=OFF -DKIVO_BUILD_BENCH=OFF >/dev/null
cmake --build "$root/build-fuzz" -j "$jobs" --target kivo_fuzzers
ctest --test-dir "$root/build-fuzz/fuzz" --output-on-failure -L fuzz

step "All tests passed"
