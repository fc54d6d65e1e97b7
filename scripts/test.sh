#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds, and runs every test: the whole suite
# through CTest (the reliability tests and the short soak among them), the
# concurrency tests under ThreadSanitizer, the C++ tests and the recorder's
# reliability tests under AddressSanitizer with UndefinedBehaviorSanitizer,
# the Python and Debian packages as users install them (scripts/test-packages.sh),
# the Windows builds (scripts/test-windows.sh), the portable-POSIX, macOS and
# packaged builds (scripts/test-portable.sh), and each fuzzer for a few seconds.
source "$(dirname "$0")/test-lib.sh"

# The builds are CMakePresets.json's presets, run from the top of the tree.
preset() { (cd "$root" && "$@"); }

step "Formatting (clang-format, as .clang-format says)"
"$root/scripts/check-format.sh"

step "Build and run all tests"
preset cmake --preset dev "${compiler_cache[@]}" >/dev/null
preset cmake --build --preset dev -j "$jobs"
preset ctest --preset dev -j "$jobs"

"$root/scripts/test-packages.sh"

step "Concurrency tests under ThreadSanitizer"
preset cmake --preset tsan "${compiler_cache[@]}" >/dev/null
preset cmake --build --preset tsan -j "$jobs"
preset ctest --preset tsan

step "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
preset cmake --preset asan "${compiler_cache[@]}" >/dev/null
preset cmake --build --preset asan -j "$jobs"
preset ctest --preset asan -j "$jobs"

"$root/scripts/test-windows.sh"
"$root/scripts/test-portable.sh"

step "Fuzzers (libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer), a few seconds each"
preset cmake --preset fuzz "${compiler_cache[@]}" >/dev/null
preset cmake --build --preset fuzz -j "$jobs"
preset ctest --preset fuzz

step "All tests passed"
