function demo_figure (raw, filtered, band, base_hz, png)
  % Draws the demonstration's figure into PNG without a display: three
  % channels raw and band-pass filtered over the same few milliseconds, and
  % the datagram rate over the run from the receive stamps. Uses gnuplot
  % (Debian: gnuplot-nox), which needs no display.
  state = warning ('off', 'all');  % the gnuplot toolkit's advice, Ghostscript's absence
  cleanup = onCleanup (@() warning (state));
  graphics_toolkit ('gnuplot');
  f = figure ('visible', 'off', 'position', [0 0 1100 950]);
  fresh = ! raw.stale;
  [t, span] = sample_window (raw, fresh);
  channels = [1 5 8];
  colors = [0.00 0.45 0.74; 0.85 0.33 0.10; 0.47 0.67 0.19];

  subplot (3, 1, 1);
  draw_channels (t, raw.samples(span, channels) - 32768, channels, base_hz, colors);
  title (sprintf ('Raw samples (kivosim: channel c is a sine of c x %g Hz, %d samples per datagram)', ...
                  base_hz, raw.nsamp));
  subplot (3, 1, 2);
  draw_channels (t, filtered.samples(span, channels) - 32767, channels, base_hz, colors);
  title (sprintf ('Filtered by velto in single precision: Butterworth band-pass %g-%g Hz', band));
  subplot (3, 1, 3);
  draw_rate (raw.stamps(fresh));
  print (f, '-dpngcairo', '-r100', png);
  close (f);
end

% Two milliseconds of samples from the middle of the recording, where the
% filter has settled; times in ms from the first of them.
function [t, span] = sample_window (raw, fresh)
  slots = find (fresh);
  middle = slots(round (numel (slots) / 2));
  rate = (numel (slots) - 1) / (raw.stamps(slots(end)) - raw.stamps(slots(1)));
  fs = rate * raw.nsamp;
  n = round (0.002 * fs);
  first = (middle - 1) * raw.nsamp + 1;
  span = first:first + n - 1;
  t = (0:n - 1)' / fs * 1000;
end

function draw_channels (t, values, channels, base_hz, colors)
  hold on;
  for k = 1:numel (channels)
    plot (t, values(:, k), 'color', colors(k, :), 'linewidth', 1.5);
  end
  hold off;
  grid on;
  xlabel ('time (ms)');
  ylabel ('counts from mid-scale');
  legend (arrayfun (@(c) sprintf ('channel %d (%g kHz)', c, c * base_hz / 1000), channels, 'uniformoutput', false), ...
          'location', 'eastoutside');
end

% Datagrams per second in bins of 100 ms, against seconds from the start.
function draw_rate (stamps)
  t = stamps - stamps(1);
  edges = 0:0.1:max (t(end), 0.1);
  counts = histc (t, edges);
  rate = counts(1:end - 1) / 0.1;
  stairs (edges(1:end - 1), rate, 'color', [0.2 0.2 0.2], 'linewidth', 1.5);
  grid on;
  ylim ([0 max(1.2 * max (rate), 1)]);
  % A title here would run into the x label above it.
  xlabel (sprintf ('seconds since the first datagram: receive rate from the stamps in 100 ms bins, mean %.1f datagrams/s', ...
                   (numel (t) - 1) / t(end)));
  ylabel ('datagrams/s');
end
