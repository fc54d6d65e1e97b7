#!/usr/bin/env bash
# The demonstration: kivosim streams 8 channels of sine waves into velto in an
# Octave session (raw and band-pass filtered files), the files are read back
# with kivo_read and drawn into a figure, then kivorec records the same stream
# and kivoinspect summarises and checks what was recorded.
#
# With --python, the same stream goes instead into examples/live_plot.py (the
# Python package kivo), which draws the last second into live_plot.png.
#
# Usage: scripts/demo.sh [--python] [--short] [--seconds S | S] [--out DIR] [--build DIR] [--port N]
#   --python     acquire in Python (examples/live_plot.py) instead of Octave
#   --short      about 3 s of acquisition and 2 s of kivorec (what the test runs)
#   --seconds S  seconds of acquisition in Octave (default 10)
#   --out DIR    output folder (default out/demo-<time>)
#   --build DIR  use the programs already built there, without installing or building
#   --port N     UDP port for velto (default 55123); kivorec always listens on 55000
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=10
record_seconds=4
out=""
build=""
port=55123
python=false
while [[ $# -gt 0 ]]; do
  case "$1" in
    --python) python=true ;;
    --short) seconds=3; record_seconds=2 ;;
    --seconds) seconds=$2; shift ;;
    --out) out=$2; shift ;;
    --build) build=$2; shift ;;
    --port) port=$2; shift ;;
    [0-9]*) seconds=$1 ;;  # the older form: scripts/demo.sh SECONDS
    *) sed -n '2,18p' "$0" >&2; exit 2 ;;
  esac
  shift
done

if [[ -z "$build" ]]; then
  build="$root/build"
  "$root/scripts/setup-debian.sh" demo
  [[ -f "$build/build.ninja" ]] || (cd "$root" && cmake --preset dev >/dev/null)
  if $python; then
    cmake --build "$build" --target kivo_python_module kivosim kivoinspect >/dev/null
  else
    cmake --build "$build" --target velto kivosim kivorec kivoinspect >/dev/null
  fi
fi
build=$(cd "$build" && pwd)
kivosim="$build/tools/kivosim/kivosim"
kivorec="$build/recorder/kivorec"
kivoinspect="$build/tools/kivoinspect/kivoinspect"
programs=("$build/velto.mex" "$kivosim" "$kivorec" "$kivoinspect")
$python && programs=("$build/python/kivo/__init__.py" "$kivosim" "$kivoinspect")
for program in "${programs[@]}"; do
  [[ -e "$program" ]] || { echo "demo: $program is missing" >&2; exit 1; }
done

out=${out:-"$root/out/demo-$(date +%Y%m%d-%H%M%S)"}
mkdir -p "$out/kivorec"
out=$(cd "$out" && pwd)
echo "Output folder: $out"

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

section() { printf '\n== %s\n' "$*"; }
base_hz=1000  # channel c carries a sine of c x 1 kHz
sine=(--channels 8 --rate 1000 --content sine --sine-base-hz $base_hz --quiet)

if $python; then
  # The python3 first on the PATH (a virtual environment's, as the build takes it) when it
  # has numpy and matplotlib, else Debian's.
  python3=$(command -v python3 || true)
  if [[ -z "$python3" ]] || ! "$python3" -c "import numpy, matplotlib" 2>/dev/null; then
    python3=/usr/bin/python3
  fi
  section "kivo in Python: $seconds s of kivosim's 8 channels at 1000 datagrams/s"
  # kivosim runs on while Python starts and until the acquisition has ended.
  "$kivosim" --port "$port" "${sine[@]}" --duration $((seconds + 10)) > "$out/kivosim.txt" &
  pids+=($!)
  PYTHONPATH="$build/python" "$python3" "$root/examples/live_plot.py" --port "$port" --channels 8 \
    --seconds "$seconds" --savedir "$out" --png "$out/live_plot.png"
  section "kivoinspect on the Python acquisition's files"
  "$kivoinspect" --verify-filter "$(ls "$out"/*_kivo_samples.dat)" "$(ls "$out"/*_kivo_filtered_samples.dat)"
  section "Done"
  echo "Everything is in $out"
  exit 0
fi

section "velto in Octave: $seconds s of kivosim's 8 channels at 1000 datagrams/s"
"$kivosim" --port "$port" "${sine[@]}" --duration $((seconds + 2)) > "$out/kivosim.txt" &
pids+=($!)
live=false
[[ -t 1 ]] && live=true
octave-cli --no-gui --norc --quiet --path "$build" --path "$root/matlab" --path "$root/demo" \
  --eval "velto_demo($port, '$out', $seconds, $live, $base_hz)" 2>&1 | grep -v "ignoring const execution_exception"
[[ -s "$out/demo.png" ]] || { echo "demo: no figure was drawn" >&2; exit 1; }

section "kivoinspect on velto's files"
raw=$(ls "$out"/*_kivo_samples.dat)
filtered=$(ls "$out"/*_kivo_filtered_samples.dat)
"$kivoinspect" "$raw"
"$kivoinspect" --verify-filter "$raw" "$filtered"

section "kivorec: $record_seconds s on port 55000, stopped with Ctrl-C"
# Job control gives the background recorder a Ctrl-C (SIGINT) it does not ignore.
set -m
(cd "$out/kivorec" && exec "$kivorec" 8) > "$out/kivorec.txt" 2>&1 &
recorder=$!
set +m
pids+=("$recorder")
for _ in $(seq 100); do
  grep -qi ':D6D8 ' /proc/net/udp 2>/dev/null && break
  sleep 0.05
done
"$kivosim" --port 55000 "${sine[@]}" --duration "$record_seconds" > /dev/null
sleep 0.3
kill -INT "$recorder"
wait "$recorder" || true
head -n 2 "$out/kivorec.txt"
grep -v '^$' "$out/kivorec.txt" | tail -n 1

section "kivoinspect on kivorec's file"
"$kivoinspect" "$(ls "$out"/kivorec/*_kivo_samples.dat)"

section "Done"
echo "Everything is in $out"
ls -l "$out" "$out/kivorec"
