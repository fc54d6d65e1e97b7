function filter_end_to_end ()
  % Acquisitions with Butterworth band-pass coefficients and kivosim's sine
  % waves: the filtered file must hold exactly the difference equation run
  % offline over the raw file (single precision, each operation rounded in
  % the filter's order, from zero histories), slot for slot, with the same
  % stamps and headers and as many slots as the raw file: every datagram
  % sent, the last block partial as 'close' writes it.
  [b, a] = band_pass ();
  % 16 channels over two blocks carry the filter across a block border;
  % 5 channels leave lanes of a vector unused, and a fresh 'open' must
  % start again from zero histories.
  check_acquisition (kivo_port (0), 16, 2500, b, a);
  check_acquisition (kivo_port (1), 5, 1500, b, a);
  check_clipping (kivo_port (2));
end

function [b, a] = band_pass ()
  try
    pkg load signal;
    [b, a] = butter (2, [0.05 0.25]);
  catch
    % butter(2, [0.05 0.25]) where the signal package is missing.
    b = [0.067455273889071923 0 -0.13491054777814385 0 0.067455273889071923];
    a = [1 -2.9445317761650216 3.3862060444122672 -1.8442867368325571 0.4128015980961886];
  end
end

function check_acquisition (port, nchans, count, b, a)
  folder = kivo_tmpdir (sprintf ('channels_%d', nchans));
  nsamp = velto ('open', port, nchans, folder, b, a);
  kivo_sim (port, '--channels', num2str (nchans), '--rate', '2000', '--count', num2str (count), ...
            '--content', 'sine');
  kivo_wait (@(s) s.datagrams >= count);  % the receiver takes the last datagrams off the socket
  velto ('close');

  raw_name = kivo_files (folder, '*_kivo_samples.dat');
  filtered_name = kivo_files (folder, '*_kivo_filtered_samples.dat');
  kivo_check (numel (raw_name) == 1 && numel (filtered_name) == 1, '%d channels: one raw and one filtered file', nchans);
  if (numel (raw_name) != 1 || numel (filtered_name) != 1)
    return;
  end
  raw = read_bytes (fullfile (folder, raw_name{1}));
  filtered = read_bytes (fullfile (folder, filtered_name{1}));
  slot_bytes = 20 + 2 * nsamp * nchans;
  kivo_check (numel (raw) == count * slot_bytes, '%d channels: raw file of %d slots (%d bytes)', ...
              nchans, count, numel (raw));
  kivo_check (numel (filtered) == numel (raw), '%d channels: filtered file of %d bytes, raw %d', ...
              nchans, numel (filtered), numel (raw));
  if (numel (filtered) != numel (raw) || numel (raw) == 0)
    return;
  end

  slots = reshape (raw, slot_bytes, []);
  filtered_slots = reshape (filtered, slot_bytes, []);
  kivo_check (isequal (slots(1:20, :), filtered_slots(1:20, :)), ...
              '%d channels: stamps and headers copied', nchans);
  x = samples (slots, nchans);
  y = samples (filtered_slots, nchans);
  expected = difference_equation (x, single (b), single (a));
  wrong = find (any (y != expected, 2), 1);
  kivo_check (isempty (wrong), '%d channels: filtered samples differ from step %d on', nchans, wrong);
  kivo_check (abs (median (double (y(:))) - 32767) < 2000, '%d channels: output swings about mid-scale', nchans);
end

% A filter of gain 10 (5 (x[n] - x[n-2]), 10 at a quarter of the sample rate)
% on kivosim's sines: the outputs leave the range that 0..65535 stores for
% part of every period. The file still holds the difference equation bit for
% bit, and every clipped sample is counted in 'status' and the metadata and
% said at 'close'.
function check_clipping (port)
  folder = kivo_tmpdir ('clipping');
  b = [5 0 -5 0 0];
  a = [1 0 0 0 0];
  velto ('open', port, 4, folder, b, a);
  % 125 samples per datagram at 2000 datagrams/s: 250 kHz. Sines of 17 kHz
  % and its multiples reach about 50000 to 90000 through the filter.
  kivo_sim (port, '--channels', '4', '--rate', '2000', '--count', '1000', '--content', 'sine', ...
            '--sine-base-hz', '17000');
  kivo_wait (@(s) s.blocks_saved >= 1);
  printed = evalc ('velto (''close'');');
  s = velto ('status');

  raw_name = kivo_files (folder, '*_kivo_samples.dat');
  filtered_name = kivo_files (folder, '*_kivo_filtered_samples.dat');
  x = samples (reshape (read_bytes (fullfile (folder, raw_name{1})), 20 + 2 * 125 * 4, []), 4);
  y = samples (reshape (read_bytes (fullfile (folder, filtered_name{1})), 20 + 2 * 125 * 4, []), 4);
  [expected, clipped] = difference_equation (x, single (b), single (a));
  kivo_check (isequal (y, expected), 'gain 10: the filtered file is the difference equation');
  kivo_check (clipped > numel (y) / 10 && clipped < numel (y) * 0.9, 'gain 10: %d of %d samples out of range', ...
              clipped, numel (y));
  kivo_check (s.filtered_clipped_samples == clipped, 'status counts %d clipped, the equation %d', ...
              s.filtered_clipped_samples, clipped);
  meta = jsondecode (fileread (strrep (fullfile (folder, filtered_name{1}), '.dat', '.json')));
  kivo_check (meta.filtered_clipped_samples == clipped, 'the metadata counts %d', meta.filtered_clipped_samples);
  warning = sprintf ('velto: warning: %d filtered sample(s) were out of range and were clipped', clipped);
  kivo_check (numel (strfind (printed, warning)) == 1, 'close warns once: %s', printed);
end

function bytes = read_bytes (path)
  fid = fopen (path, 'r');
  bytes = fread (fid, Inf, 'uint8=>uint8');
  fclose (fid);
end

% The samples of every slot, one row per time step, one column per channel.
function values = samples (slots, nchans)
  words = slots(21:end, :);
  v = double (words(1:2:end, :)) + 256 * double (words(2:2:end, :));
  values = reshape (v, nchans, [])';
end

% y[n] = b0 x[n] + ... + b4 x[n-4] - a1 y[n-1] - ... - a4 y[n-4], every
% product and sum in single precision in this order, outputs stored as
% trunc(sum + 0.5) + 32767 clamped to 0..65535 (0 for NaN or a sum that does
% not fit 32 bits), fed back less 32767. All channels at once, step by step.
% CLIPPED counts the outputs that 0..65535 could not hold.
function [stored, clipped] = difference_equation (x, b, a)
  [steps, nchans] = size (x);
  xs = [zeros(4, nchans, 'single'); single(x)];
  % The input part of every step does not depend on the outputs.
  n = (5:steps + 4)';
  part = b(1) * xs(n, :) + b(2) * xs(n - 1, :);
  part = part + b(3) * xs(n - 2, :);
  part = part + b(4) * xs(n - 3, :);
  part = part + b(5) * xs(n - 4, :);
  fed = zeros (steps + 4, nchans, 'single') - 32767;
  stored = zeros (steps, nchans);
  clipped = 0;
  for t = 1:steps
    s = part(t, :) - a(2) * fed(t + 3, :);
    s = s - a(3) * fed(t + 2, :);
    s = s - a(4) * fed(t + 1, :);
    s = s - a(5) * fed(t, :);
    s = s + single (0.5);
    cut = double (fix (s));
    clipped = clipped + sum (isnan (s) | cut + 32767 < 0 | cut + 32767 > 65535);
    value = min (max (cut + 32767, 0), 65535);
    value(isnan (s) | cut < -2147483648 | cut > 2147483647) = 0;
    stored(t, :) = value;
    fed(t + 4, :) = single (value - 32767);
  end
end
