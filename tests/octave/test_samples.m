function test_samples ()
  % 'samples' against kivosim: the result with nothing new and its values;
  % every datagram of 20,000/s of 16 channels for 5 s handed over to a
  % caller that calls every 50 ms, row for row as the raw file holds it;
  % 'close' in the middle of a block, after which both files hold every
  % datagram sent and kivo_read and kivoinspect accept them; and a caller
  % that sleeps longer than the ring holds, told exactly what it missed.
  addpath (fullfile (fileparts (mfilename ('fullpath')), '..', '..', 'matlab'));
  check_usage_and_values (kivo_port (0), kivo_tmpdir ('values'));
  check_every_datagram_under_load (kivo_port (1), kivo_tmpdir ('load'));
  check_a_caller_that_sleeps (kivo_port (2), kivo_tmpdir ('sleep'));
end

function check_usage_and_values (port, dir)
  usage = 'velto: d = velto(''samples'') or d = velto(''samples'', ''native'')';
  kivo_check_error (@() velto ('samples', 1), usage, 'samples with a number');
  kivo_check_error (@() velto ('samples', 'Native'), usage, 'samples with another word');
  velto ('open', port, 4, dir);
  d = velto ('samples');
  fields = {'samples'; 'sequence_no'; 'stamps'; 'time'; 'first_sample'; 'missed'};
  kivo_check (isequal (fieldnames (d), fields), 'the fields of samples');
  kivo_check (isequal (size (d.samples), [0 4]) && isa (d.samples, 'double') && isempty (d.first_sample) ...
              && isequal (size (d.sequence_no), [0 1]) && isequal (size (d.stamps), [0 1]) ...
              && isequal (size (d.time), [0 1]) && d.missed == 0, 'nothing new: empty fields');
  kivo_sim (port, '--channels', '4', '--count', '3', '--content', 'pattern', '--start-seq', '100');
  kivo_wait (@(s) s.datagrams == 3);
  d = velto ('samples');
  kivo_check (isequal (size (d.samples), [3 * 125 4]) && isequal (d.sequence_no, (100:102)'), ...
              'three datagrams: 375 x 4 samples, sequence numbers 100 to 102');
  kivo_check (isequal (d.samples, kivo_pattern ((100:102)', 125, 4)), 'samples as kivosim sent them');
  % Three stamps fix a line, if a rough one: it lies under every stamp.
  kivo_check (d.first_sample == 100 * 125 && all (isfinite (d.time)), 'first sample %d, times', d.first_sample);
  kivo_check (all (d.time(1:125:end) <= d.stamps + 2e-6), 'the fitted line lies under the stamps');
  e = velto ('samples', 'native');
  kivo_check (isa (e.samples, 'uint16') && isequal (size (e.samples), [0 4]), 'native: uint16, nothing new');
  velto ('close');
end

function check_every_datagram_under_load (port, dir)
  [b, a] = band_pass ();
  velto ('open', port, 16, dir, b, a);
  % 100,500 datagrams: 'close' comes in the middle of the 101st block.
  [taken, missed] = take_while_sending (port, 100500, Inf, 0);
  kivo_check (missed == 0, 'a caller every 50 ms misses nothing (%d missed)', missed);
  raw = fullfile (dir, kivo_files (dir, '*_kivo_samples.dat'){1});
  filtered = fullfile (dir, kivo_files (dir, '*_kivo_filtered_samples.dat'){1});
  kivo_check (stat (raw).size == 100500 * 1396 && stat (filtered).size == 100500 * 1396, ...
              'both files hold every datagram sent (%d bytes)', stat (raw).size);
  check_rows_equal_the_file (raw, taken, 0, 0);
  lastwarn ('');
  tail = kivo_read (raw, 'blocks', [101 101]);
  [~, id] = lastwarn ();
  kivo_check (tail.slots == 500 && ! strcmp (id, 'kivo_read:incomplete'), 'kivo_read: the partial block, no warning');
  inspect = fullfile (getenv ('KIVO_TOOLS_DIR'), '..', 'kivoinspect', 'kivoinspect');
  [status, out] = system (sprintf ('"%s" "%s" 2>&1', inspect, raw));
  kivo_check (status == 0 && ! isempty (strfind (out, 'a partial block of 500 slots')), 'kivoinspect: %s', out);
  [status, out] = system (sprintf ('"%s" --verify-filter "%s" "%s" 2>&1', inspect, raw, filtered));
  kivo_check (status == 0 && ! isempty (strfind (out, 'verified:')), 'kivoinspect --verify-filter: %s', out);
end

% Taken every 50 ms for 1 s, then a sleep of 3.5 s (the ring holds 2.4 s at
% this rate), then every 50 ms again.
function check_a_caller_that_sleeps (port, dir)
  velto ('open', port, 16, dir);
  [taken, missed, before] = take_while_sending (port, 100000, 1, 3.5);
  printf ('a caller that slept: %d datagrams missed after %d taken\n', missed, before);
  kivo_check (missed > 0, 'a caller that slept missed datagrams');
  s = velto ('status');
  kivo_check (s.samples_missed == missed, 'status counts the %d missed: %d', missed, s.samples_missed);
  raw = fullfile (dir, kivo_files (dir, '*_kivo_samples.dat'){1});
  check_rows_equal_the_file (raw, taken, before, missed);
end

% Runs kivosim (20,000/s, 16 channels) in the background and takes
% 'samples' every 50 ms, sleeping SLEEP seconds after AWAKE seconds, until
% COUNT datagrams arrived and were taken; then closes. Returns the samples,
% native, concatenated; the datagrams missed; and how many were taken before
% the first call that missed some.
function [taken, missed, before] = take_while_sending (port, count, awake, sleep)
  system (sprintf ('"%s" --host 127.0.0.1 --port %d --channels 16 --rate 20000 --count %d --content pattern --quiet > /dev/null 2>&1 &', ...
                   getenv ('KIVOSIM'), port, count));
  parts = {};
  missed = 0;
  before = NaN;
  t0 = tic ();
  slept = false;
  done = false;
  while (! done && toc (t0) < 60)
    s = velto ('status');
    done = s.datagrams >= count;
    d = velto ('samples', 'native');
    if (d.missed > 0 && isnan (before))
      before = sum (cellfun (@rows, parts)) / 43;
    end
    missed = missed + d.missed;
    parts{end + 1} = d.samples;
    if (done)
      velto ('close');
      d = velto ('samples');
      kivo_check (isempty (d.sequence_no), 'nothing more after close');
    elseif (! slept && toc (t0) >= awake)
      pause (sleep);
      slept = true;
    else
      pause (0.05);
    end
  end
  kivo_check (done, 'kivosim''s %d datagrams arrived', count);
  taken = vertcat (parts{:});
end

% The rows taken are the file's, but for MISSED datagrams after the first
% BEFORE: compared ten blocks at a time.
function check_rows_equal_the_file (raw, taken, before, missed)
  info = stat (raw);
  slots = info.size / 1396;
  kivo_check (rows (taken) / 43 + missed == slots, '%d datagrams taken and %d missed of %d saved', ...
              rows (taken) / 43, missed, slots);
  differing = 0;
  for first = 1:10:ceil (slots / 1000)
    rec = kivo_read (raw, 'blocks', [first first + 9], 'native', true);
    file_rows = (first - 1) * 1000 * 43 + (1:rows (rec.samples));
    keep = file_rows <= before * 43 | file_rows > (before + missed) * 43;
    at = file_rows(keep) - missed * 43 * (file_rows(keep) > before * 43);
    differing = differing + any (any (taken(at, :) != rec.samples(keep, :)));
  end
  kivo_check (differing == 0, 'rows equal the raw file''s (%d stretches differ)', differing);
end

function [b, a] = band_pass ()
  b = [0.067455273889071923 0 -0.13491054777814385 0 0.067455273889071923];
  a = [1 -2.9445317761650216 3.3862060444122672 -1.8442867368325571 0.4128015980961886];
end

