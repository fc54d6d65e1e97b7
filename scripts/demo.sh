#!/usr/bin/env bash
# The demonstration: the device simulator streams into the velto plug-in in
# an Octave session, and the files it recorded are listed.
# Usage: scripts/demo.sh [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-5}

"$root/scripts/setup-debian.sh" demo
if [[ ! -f "$root/build/velto.mex" || ! -x "$root/build/tools/kivosim/kivosim" ]]; then
  cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$root/build" --target velto kivosim >/dev/null

out="$root/out/demo-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"
port=55123
echo "Output folder: $out"

# The simulator sends 8 channels of sine waves at 1000 datagrams per second
# for a little longer than the Octave session listens.
"$root/build/tools/kivosim/kivosim" --port "$port" --channels 8 --rate 1000 \
  --duration $((seconds + 3)) --quiet > "$out/kivosim.txt" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT

octave-cli --no-gui --norc --quiet --path "$root/build" --path "$root/demo" \
  --eval "velto_demo($port, '$out', $seconds)" 2>&1 | grep -v "ignoring const execution_exception"

wait $sim || true
cat "$out/kivosim.txt"
echo
echo "Files recorded in $out:"
ls -l "$out"
