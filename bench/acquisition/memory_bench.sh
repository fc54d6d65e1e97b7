#!/usr/bin/env bash
# Resident memory of an Octave session that acquires 16 channels at 1000
# datagrams/s for a while (default 60 s), sampled every 5 s, against the
# session's baseline before 'open' plus the plug-in's three blocks of buffers
# and the ring of 48 blocks it keeps for 'samples' (full after 48 s at this rate).
# usage: bench/acquisition/memory_bench.sh [build folder] [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
seconds=${2:-60}
port=47991
dir=$(mktemp -d)

"$build/tools/kivosim/kivosim" --port $port --channels 16 --rate 1000 --duration $((seconds + 10)) \
  --quiet > /dev/null &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -rf "$dir"' EXIT

octave-cli --no-gui --norc --quiet --path "$build" --eval "
  rss = @() sscanf (regexp (fileread ('/proc/self/status'), 'VmRSS:\s*(\d+)', 'tokens', 'once'){1}, '%d') / 1024;
  velto ('version'); d = velto ('read'); s = velto ('status');  % the plug-in loaded, nothing open
  baseline = rss ();
  blocks = (3 + 48) * 1396000 / 2^20;
  velto ('open', $port, 16, '$dir');
  printf ('baseline %.1f MiB; three blocks and the ring %.1f MiB; limit %.1f MiB\n', baseline, blocks, baseline + blocks);
  printf ('%6s %10s %10s\n', 'time', 'RSS MiB', 'datagrams');
  samples = [];
  t0 = tic ();
  while (toc (t0) < $seconds)
    pause (5);
    d = velto ('read');
    s = velto ('status');
    samples(end + 1) = rss ();
    printf ('%6.0f %10.1f %10d\n', toc (t0), samples(end), s.datagrams);
  end
  velto ('close');
  after_first_minute = samples(min (numel (samples), 12):end);
  printf ('peak %.1f MiB (%.1f over baseline; three blocks and the ring are %.1f); growth after the first minute %.2f MiB\n', ...
          max (samples), max (samples) - baseline, blocks, max (after_first_minute) - min (after_first_minute));
  printf ('within baseline + three blocks + the ring + 1 MiB (two thread stacks, bookkeeping): %s\n', mat2str (max (samples) <= baseline + blocks + 1));
" 2>&1 | grep -v "ignoring const execution_exception"
