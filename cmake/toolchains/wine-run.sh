#!/bin/sh
# Runs a 64-bit Windows program under wine64 for the tests, quietly and in a
# wine prefix of the tests' own: KIVO_WINEPREFIX, else WINEPREFIX, else one
# under the system's temporary folder. The first start in a new prefix takes
# a few seconds.
#
#   wine-run.sh <program.exe> <args>...
#   wine-run.sh --start-server     makes the prefix and starts its server and
#                                  wine's own background programs, which stay
#                                  until KIVO_WINESERVER_LINGER (15) seconds
#                                  after the last program has ended
#
# wine's background programs keep the standard output of the program that
# started them open until they end. Started here, they hold none: a test
# runner that waits for a test's output to close then does not wait for them.
set -e
for candidate in "${KIVO_WINE64:-}" wine64 /usr/lib/wine/wine64 /usr/lib64/wine/wine64; do
  [ -n "$candidate" ] || continue
  if command -v "$candidate" >/dev/null 2>&1; then wine64=$(command -v "$candidate"); break; fi
done
if [ -z "${wine64:-}" ]; then
  echo "wine-run.sh: wine64 not found" >&2
  exit 127
fi
wineserver="$(dirname "$wine64")/wineserver"
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo wineserver)

export WINEPREFIX="${KIVO_WINEPREFIX:-${WINEPREFIX:-${TMPDIR:-/tmp}/kivo-wineprefix-$(id -u)}}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINELOADER="$wine64"

mkdir -p "$WINEPREFIX"
if [ "${1:-}" = "--start-server" ]; then
  [ -f "$WINEPREFIX/system.reg" ] || "$wine64" wineboot --init >/dev/null 2>&1 || true
  # When a server runs for the prefix already, this one ends at once.
  "$wineserver" -p"${KIVO_WINESERVER_LINGER:-15}" </dev/null >/dev/null 2>&1 || true
  "$wine64" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
  exit 0
fi
exec "$wine64" "$@"
