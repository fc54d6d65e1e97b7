#!/bin/sh
# Runs a 64-bit Windows program under wine64 for the tests: quiet, and in a
# wine prefix of its own (KIVO_WINEPREFIX, else WINEPREFIX, else one under
# the system's temporary folder). The first start in a new prefix takes a
# few seconds.
set -e
for candidate in "${KIVO_WINE64:-}" wine64 /usr/lib/wine/wine64 /usr/lib64/wine/wine64; do
  [ -n "$candidate" ] || continue
  if command -v "$candidate" >/dev/null 2>&1; then wine64=$(command -v "$candidate"); break; fi
done
if [ -z "${wine64:-}" ]; then
  echo "wine-run.sh: wine64 not found" >&2
  exit 127
fi
export WINEPREFIX="${KIVO_WINEPREFIX:-${WINEPREFIX:-${TMPDIR:-/tmp}/kivo-wineprefix-$(id -u)}}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINELOADER="$wine64"
exec "$wine64" "$@"
