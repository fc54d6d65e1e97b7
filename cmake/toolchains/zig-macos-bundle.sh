#!/bin/sh
# Links velto's macOS bundle: zig's own linker makes the library (which tells,
# with -v, the C++ and compiler runtime archives it used for the target), then
# LLVM's ld64.lld links the same inputs again as what MATLAB loads: an
# MH_BUNDLE exporting the symbols of an exported-symbols list alone, which
# zig's linker cannot make.
#
#   zig-macos-bundle.sh <ld64.lld> <arch> <macos minimum> <exported symbols> <libSystem.tbd> -- <zig link command>...
set -eu
lld=$1 arch=$2 minimum=$3 exports=$4 libsystem=$5
shift 5
[ "$1" = "--" ] && shift
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$@" -v 2>"$log" || { cat "$log" >&2; exit 1; }
line=$(grep '^zig ld ' "$log" | tail -n 1)
[ -n "$line" ] || { echo "zig-macos-bundle.sh: zig printed no link line" >&2; exit 1; }
output="" inputs="" next_is_output=0
for word in $line; do
  if [ $next_is_output -eq 1 ]; then output=$word; next_is_output=0; continue; fi
  case "$word" in
    -o) next_is_output=1 ;;
    *.o|*.a|*.dylib) inputs="$inputs $word" ;;
  esac
done
[ -n "$output" ] || { echo "zig-macos-bundle.sh: no output in zig's link line" >&2; exit 1; }
# shellcheck disable=SC2086  # the inputs are paths without spaces, one word each
exec "$lld" -arch "$arch" -platform_version macos "$minimum" "$minimum" -bundle -dead_strip \
  -exported_symbols_list "$exports" -o "$output" $inputs "$libsystem"
