# What the test scripts (test.sh, test-windows.sh, test-portable.sh) start
# with: strict mode, the project root, the job count, the packages they need,
# and step(), which heads each step with the seconds since the script began.
# Sourced, not run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
started=$SECONDS

"$root/scripts/setup-debian.sh" test

step() { printf '\n== %s (%d s so far)\n' "$*" $((SECONDS - started)); }
