function stats = live_scope (port, nchans, seconds, window, png, savedir)
%LIVE_SCOPE  A scrolling plot of every channel, fed by velto('samples').
%   LIVE_SCOPE (PORT, NCHANS) acquires from a Kivo device (or kivosim) on
%   PORT with NCHANS channels, recording into the current folder, and draws
%   the last 2 s of every channel against the sample times of the fitted
%   clock, redrawn about 20 times a second. The title shows the sample rate
%   of that clock, the gaps in the sequence numbers and the datagrams that
%   'samples' could no longer hand over. Closing the figure ends it.
%
%   LIVE_SCOPE (PORT, NCHANS, SECONDS, WINDOW, PNG, SAVEDIR) ends after
%   SECONDS (Inf: when the figure is closed), shows WINDOW seconds, prints
%   the last frame to the file PNG ('' for none) and records into SAVEDIR.
%   With a PNG the figure stays off screen, so no display is needed (GNU
%   Octave draws it with gnuplot).
%
%   STATS = LIVE_SCOPE (...) returns the frames drawn, the datagrams, gaps
%   and missed datagrams seen, and the last sample rate.
%
%   Example, beside kivosim --port 55123 --channels 8 --content sine:
%     live_scope (55123, 8)
%
%   Works in GNU Octave and MATLAB with velto on the path.
  if (nargin < 3), seconds = Inf; end
  if (nargin < 4), window = 2; end
  if (nargin < 5), png = ''; end
  if (nargin < 6), savedir = pwd; end
  offscreen = ~isempty (png);
  if (offscreen && exist ('OCTAVE_VERSION', 'builtin'))
    graphics_toolkit ('gnuplot');
  end
  fig = figure ('visible', ifelse (offscreen, 'off', 'on'), 'position', [100 100 1000 600]);
  lines = plot (NaN (2, nchans), NaN (2, nchans));
  xlabel ('seconds');
  ylabel ('channel (each scaled to its own range)');
  set (gca, 'ytick', 1:nchans, 'ylim', [0 nchans + 1]);

  velto ('open', port, nchans, savedir);
  cleanup = onCleanup (@() velto ('close'));
  stats = struct ('frames', 0, 'datagrams', 0, 'gaps', 0, 'missed', 0, 'rate', NaN);
  shown = struct ('time', zeros (0, 1), 'samples', zeros (0, nchans));
  last_seq = NaN;
  t0 = tic ();
  while (toc (t0) < seconds && ishandle (fig))
    d = velto ('samples');
    [stats, last_seq] = count (stats, d, last_seq);
    shown = keep_window (shown, d, window);
    draw (lines, shown, window);
    title (sprintf ('%.1f samples/s per channel (fitted clock), %d gaps, %d missed', ...
                    stats.rate, stats.gaps, stats.missed));
    stats.frames = stats.frames + 1;
    drawnow ();
    pause (0.05);
  end
  if (offscreen && ishandle (fig))
    % Octave's gnuplot draws PNG with cairo, without Ghostscript.
    print (fig, ifelse (exist ('OCTAVE_VERSION', 'builtin'), '-dpngcairo', '-dpng'), png);
  end
  if (ishandle (fig))
    close (fig);
  end
end

% Datagrams, breaks in the sequence numbers, missed datagrams, and the rate
% of the fitted clock from the rows of a call without a break.
function [stats, last_seq] = count (stats, d, last_seq)
  k = numel (d.sequence_no);
  stats.missed = stats.missed + d.missed;
  if (k == 0)
    return;
  end
  stats.datagrams = stats.datagrams + k;
  steps = mod (diff ([last_seq; d.sequence_no]), 65536);
  stats.gaps = stats.gaps + sum (steps(~isnan (steps)) ~= 1);
  last_seq = d.sequence_no(end);
  if (k > 1 && all (steps(2:end) == 1) && d.time(end) > d.time(1))
    stats.rate = (numel (d.time) - 1) / (d.time(end) - d.time(1));
  end
end

% The rows of the last WINDOW seconds.
function shown = keep_window (shown, d, window)
  shown.time = [shown.time; d.time];
  shown.samples = [shown.samples; d.samples];
  if (~isempty (shown.time))
    keep = shown.time >= shown.time(end) - window;
    shown.time = shown.time(keep);
    shown.samples = shown.samples(keep, :);
  end
end

% Every channel in a band of its own, scaled to its range. A screen shows
% no more than about 2000 points a channel: longer stretches are drawn as
% the lowest and highest sample of each of 1000 bins, which keeps every
% peak (a plain decimation would alias the waves).
function draw (lines, shown, window)
  n = numel (shown.time);
  if (n == 0)
    return;
  end
  step = max (1, floor (n / 1000));
  bins = floor (n / step);
  rows = n - bins * step + 1:n;
  t = reshape (shown.time(rows) - shown.time(end), step, bins);
  t = reshape ([t(1, :); t(end, :)], [], 1);
  for c = 1:numel (lines)
    y = reshape (shown.samples(rows, c), step, bins);
    y = reshape ([min(y, [], 1); max(y, [], 1)], [], 1);
    low = min (y);
    span = max (max (y) - low, 1);
    set (lines(c), 'xdata', t, 'ydata', c - 0.4 + 0.8 * (y - low) / span);
  end
  set (get (lines(1), 'parent'), 'xlim', [-window 0]);
end

function value = ifelse (condition, yes, no)
  if (condition)
    value = yes;
  else
    value = no;
  end
end
