#!/usr/bin/env bash
# CPU time of an Octave session per second of signal while kivosim sends
# 20,000 datagrams/s of 16 channels: velto acquiring alone (a 'status' every
# 50 ms), then with velto('samples') every 50 ms (doubles) and with
# velto('samples', 'native') (uint16), in the same run, each REPEAT times;
# prints the medians and the ratios to acquiring alone.
# usage: bench/acquisition/samples_octave_bench.sh [build folder] [seconds] [repeat]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
seconds=${2:-5}
repeat=${3:-3}
port=47992
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

octave-cli --no-gui --norc --quiet --path "$build" --eval "
  modes = {'alone', 'samples', 'native'};
  cpu = zeros (numel (modes), $repeat);
  for r = 1:$repeat
    for m = 1:numel (modes)
      velto ('open', $port, 16, '$dir');
      system (sprintf ('\"%s\" --port %d --channels 16 --rate 20000 --duration %g --content pattern --quiet > /dev/null 2>&1 &', ...
                       '$build/tools/kivosim/kivosim', $port, $seconds));
      taken = 0;
      c0 = cputime ();
      t0 = tic ();
      while (toc (t0) < $seconds)
        switch (modes{m})
          case 'alone'
            s = velto ('status');
          case 'samples'
            d = velto ('samples');
            taken = taken + numel (d.sequence_no);
          case 'native'
            d = velto ('samples', 'native');
            taken = taken + numel (d.sequence_no);
        end
        pause (0.05);
      end
      cpu(m, r) = (cputime () - c0) / $seconds;
      pause (0.5);
      velto ('close');
      delete (fullfile ('$dir', '*'));
      if (r == $repeat)
        printf ('%-8s %d datagrams taken in the last run\n', modes{m}, taken);
      end
    end
  end
  base = median (cpu(1, :));
  for m = 1:numel (modes)
    printf ('%-8s CPU %6.1f ms per second of signal (median of %d), ratio %.2f, delivery %+.1f ms\n', ...
            modes{m}, 1e3 * median (cpu(m, :)), $repeat, median (cpu(m, :)) / base, 1e3 * (median (cpu(m, :)) - base));
  end
" 2>&1 | grep -v "ignoring const execution_exception\|UDP connection"
