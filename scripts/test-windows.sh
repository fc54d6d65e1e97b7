#!/usr/bin/env bash
# The Windows builds, checked here: cross-builds velto.mexw64 / velto.mexw32,
# kivorec, kivosim and kivoinspect for 64-bit and 32-bit Windows with
# warnings as errors, checks what they export and import, and runs under
# wine64 the 64-bit tests: the stream and filter suites (every instruction
# set), the Windows realisations' own tests, velto.mexw64 in our MEX host
# against kivosim.exe, and kivorec.exe against the Linux kivosim with Ctrl-C.
# (This wine runs no 32-bit programs: the 32-bit build is compiled and
# checked only.)
#
# usage: scripts/test-windows.sh        (called at the end of scripts/test.sh)
# The Linux kivosim comes from KIVO_LINUX_BUILD (default build/), or is
# built in build-winlinux.
source "$(dirname "$0")/test-lib.sh"

step "Windows: the build machine's kivosim for the kivorec.exe tests"
linux_build=${KIVO_LINUX_BUILD:-$root/build}
host_kivosim="$linux_build/tools/kivosim/kivosim"
if [[ ! -x "$host_kivosim" ]]; then
  (cd "$root" && cmake --preset host-kivosim >/dev/null && cmake --build --preset host-kivosim -j "$jobs")
  host_kivosim="$root/build-winlinux/tools/kivosim/kivosim"
fi
echo "$host_kivosim"

step "Windows: cross-builds for 64-bit and 32-bit Windows, warnings as errors"
"$root/scripts/build-windows.sh" --arch all --werror -- -DKIVO_HOST_KIVOSIM="$host_kivosim" "${compiler_cache[@]}"

step "Windows: 64-bit tests under wine64"
export KIVO_WINEPREFIX="$root/build-win64/wineprefix"
export WINEDEBUG=-all
wineserver=$(dirname "$(command -v wine64 || echo /usr/lib/wine/wine64)")/wineserver
# wine's server and background programs for the whole run, apart from the
# tests' output; ended with the run.
KIVO_WINESERVER_LINGER=600 "$root/cmake/toolchains/wine-run.sh" --start-server
trap 'WINEPREFIX="$KIVO_WINEPREFIX" "$wineserver" -k 2>/dev/null || true' EXIT
(cd "$root" && ctest --preset win64 -j "$jobs")

step "Windows: 32-bit export and import tables"
(cd "$root" && ctest --preset win32)

step "Windows: done"
