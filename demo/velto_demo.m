function velto_demo (port, out, seconds, live, base_hz)
  % The demonstration in Octave: opens velto on PORT with 8 channels and a
  % band-pass filter, takes every datagram with 'samples' for SECONDS seconds
  % while kivosim streams (channel c a sine of c x BASE_HZ), closes, reads
  % both files back with kivo_read and draws OUT/demo.png. LIVE true redraws one
  % status line in place (a terminal); otherwise a line is printed every second.
  velto ('version');
  [b, a, band] = band_pass (1000 * 86);
  nsamp = velto ('open', port, 8, out, b, a);
  printf ('Listening on port %d: 8 channels, %d samples per channel in each datagram, band-pass %g-%g Hz\n', ...
          port, nsamp, band);
  poll (seconds, live);
  velto ('close');

  raw = kivo_read (only_file (out, '*_kivo_samples.dat'));
  filtered = kivo_read (only_file (out, '*_kivo_filtered_samples.dat'));
  report (raw, filtered);
  demo_figure (raw, filtered, band, base_hz, fullfile (out, 'demo.png'));
  printf ('Figure: %s\n', fullfile (out, 'demo.png'));
end

% Butterworth band-pass of order 2 (five coefficients each) from 3 to 7 kHz
% at sample rate FS (1000 datagrams/s of 86 samples per channel).
function [b, a, band] = band_pass (fs)
  band = [3000 7000];
  try
    pkg load signal;
    [b, a] = butter (2, band / (fs / 2));
  catch
    % butter (2, [3000 7000] / 43000), for a machine without the signal package.
    b = [0.01761186649013842 0 -0.03522373298027684 0 0.01761186649013842];
    a = [1 -3.3902485496219645 4.4900473640512608 -2.7511469830465605 0.66152034718341035];
  end
end

% Takes every datagram with 'samples' ten times a second; the line shows the
% sample rate of the clock fitted to the stamps.
function poll (seconds, live)
  t0 = tic ();
  next_line = 1;
  last = NaN;
  rate = NaN;
  missed = 0;
  while (toc (t0) < seconds)
    d = velto ('samples');
    missed = missed + d.missed;
    if (numel (d.sequence_no) > 1 && d.time(end) > d.time(1))
      last = d.sequence_no(end);
      rate = (numel (d.time) - 1) / (d.time(end) - d.time(1));
    end
    now = toc (t0);
    s = velto ('status');
    line = sprintf ('%5.1f s  %9.1f samples/s per channel  latest sequence # %5d  gaps %d  missed %d  blocks saved %d', ...
                    now, rate, last, s.sequence_gaps, missed, s.blocks_saved);
    if (live)
      printf ('\r%s', line);
      fflush (stdout);
    elseif (now >= next_line)
      printf ('%s\n', line);
      next_line = next_line + 1;
    end
    pause (0.1);
  end
  if (live)
    printf ('\n');
  end
end

function name = only_file (folder, pattern)
  listing = dir (fullfile (folder, pattern));
  if (numel (listing) != 1)
    error ('velto_demo: expected one %s in %s', pattern, folder);
  end
  name = fullfile (folder, listing(1).name);
end

function report (raw, filtered)
  fresh = ! raw.stale;
  span = raw.stamps(find (fresh, 1, 'last')) - raw.stamps(find (fresh, 1));
  printf ('Read back: %d slots (%d whole blocks, %d in the last one) in each file, %d stale; %.2f s at %.1f datagrams/s\n', ...
          raw.slots, floor (raw.slots / 1000), mod (raw.slots, 1000), sum (raw.stale), span, (sum (fresh) - 1) / span);
  printf ('Filtered file: stamps and sequence numbers %s the raw file''s\n', ...
          ifelse_text (isequal (raw.stamps, filtered.stamps) && isequal (raw.sequence_no, filtered.sequence_no), ...
                       'match', 'DO NOT match'));
end

function text = ifelse_text (condition, yes, no)
  if (condition)
    text = yes;
  else
    text = no;
  end
end
