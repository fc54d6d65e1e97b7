#!/usr/bin/env bash
# The builds for other systems than this one, checked here (called at the end
# of scripts/test.sh, after scripts/test-windows.sh):
#   - the portable-POSIX Linux build (KIVO_PORTABLE_POSIX=ON: exactly the
#     POSIX code macOS gets) runs the core, recorder and Octave tests;
#   - the macOS builds (zig, x86_64 and arm64: velto, kivorec, kivosim,
#     kivoinspect) with their symbol checks;
#   - zig's Linux build for the packages, symbol-checked (no C++ runtime
#     needed, glibc 2.28) and its velto.mexa64 run in the Linux stand-in host;
#   - scripts/package.sh: the zips, the wheel, the Debian package and their checksums.
#
# usage: scripts/test-portable.sh      The Linux stand-in host comes from
#        KIVO_LINUX_BUILD (default build/, built by scripts/test.sh).
source "$(dirname "$0")/test-lib.sh"

step "Portable POSIX: the Linux build with macOS's code paths, core, recorder and Octave tests"
(cd "$root" && cmake --preset portable "${compiler_cache[@]}" >/dev/null && cmake --build --preset portable -j "$jobs" &&
  ctest --preset portable -j "$jobs")

step "macOS: x86_64 and arm64 with zig, warnings as errors, symbol checks"
"$root/scripts/build-macos.sh" --arch all --werror

step "Packages: zig's Linux build, symbol checks, its velto.mexa64 in the Linux stand-in host"
"$root/scripts/package.sh"
(cd "$root" && ctest --preset glnxa64)
host="${KIVO_LINUX_BUILD:-$root/build}/mexhost/velto_host_test"
if [[ -x "$host" ]]; then
  VELTO_MEX_FILE="$root/build-glnxa64/velto.mexa64" "$host" --gtest_brief=1
else
  echo "no Linux stand-in host at $host (scripts/test.sh builds it): the packaged velto.mexa64 is not run" >&2
  exit 1
fi
(cd "$root/dist" && sha256sum -c SHA256SUMS)

step "Portable builds: done"
