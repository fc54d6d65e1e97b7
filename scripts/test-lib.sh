# What the test scripts (test.sh, test-windows.sh, test-portable.sh) start
# with: strict mode, the project root, the job count, the packages they need,
# and step(), which heads each step with the seconds since the script began.
# Sourced, not run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
started=$SECONDS

"$root/scripts/setup-debian.sh" test

# The compiler cache, for the builds with the system's and MinGW's compilers:
# a run after another compiles only what changed (zig's builds go without).
compiler_cache=()
if command -v ccache >/dev/null; then
  compiler_cache=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

step() { printf '\n== %s (%d s so far)\n' "$*" $((SECONDS - started)); }
