function test_open ()
  % 'open': its argument checks, the geometry it returns, the files it
  % creates, and opening again.
  port = kivo_port (0);
  dir = kivo_tmpdir ('open');
  check_refused_counts (port, dir);
  check_refused_classes (port, dir);
  kivo_check (isempty (kivo_files (dir, '*.dat')), 'refused opens created no file');
  check_geometry (port, dir);
  check_filter_counts (port, kivo_tmpdir ('filter'));
  check_filter_values (port, kivo_tmpdir ('values'));
  check_file_names (port);
  check_files_named (port, kivo_tmpdir ('named'));
  check_port_conversion (kivo_port (1));
  check_held_port (kivo_port (2), kivo_tmpdir ('held'));
end

function check_refused_counts (port, dir)
  usage = 'velto: velto(''open'', port, nchans, savedir) or velto(''open'', port, nchans, savedir, b, a)';
  kivo_check_error (@() velto ('open', port, 4), usage, 'three inputs');
  kivo_check_error (@() velto ('open', port, 4, dir, [1 2 3 4 5]), usage, 'five inputs');
  kivo_check_error (@() velto ('open', port, 4, dir, 1, 2, 3), usage, 'seven inputs');
  channels = 'velto: invalid # of channels (must be between 1 and 16)';
  for n = {0.99, 17, -1, NaN, 0, Inf}
    kivo_check_error (@() velto ('open', port, n{1}, dir), channels, sprintf ('nchans %g', n{1}));
  end
  ports = 'velto: invalid port (must be between 1 and 65535)';
  for p = {0, 70000, 65536, -5, NaN, 0.5}
    kivo_check_error (@() velto ('open', p{1}, 4, dir), ports, sprintf ('port %g', p{1}));
  end
end

function check_refused_classes (port, dir)
  bad_port = 'velto: port must be a real number';
  for p = {'5000', true, complex(5000, 1), [], sparse(5000), {5000}, struct('p', 5000)}
    kivo_check_error (@() velto ('open', p{1}, 4, dir), bad_port, sprintf ('port of class %s', class (p{1})));
  end
  kivo_check_error (@() velto ('open', port, 'four', dir), 'velto: nchans must be a real number', 'nchans text');
  kivo_check_error (@() velto ('open', port, zeros (0, 1), dir), 'velto: nchans must be a real number', 'nchans empty');
  kivo_check_error (@() velto ('open', port, 4, 7), 'velto: savedir must be a string', 'savedir number');
  kivo_check_error (@() velto ('open', port, 4, {dir}), 'velto: savedir must be a string', 'savedir cell');
  kivo_check_error (@() velto ('open', port, 4, [dir char(0) 'x']), 'velto: savedir must not contain a NUL character', ...
                    'savedir with a NUL');
  bad_filter = 'velto: filter coefficients b and a must be non-empty real numeric arrays';
  kivo_check_error (@() velto ('open', port, 4, dir, [], ones (1, 5)), bad_filter, 'b empty');
  kivo_check_error (@() velto ('open', port, 4, dir, ones (1, 5), num2cell(ones(1, 5))), bad_filter, 'a cell');
  kivo_check_error (@() velto ('open', port, 4, dir, ones (1, 5) * 1i, ones (1, 5)), bad_filter, 'b complex');
end

function check_geometry (port, dir)
  expected = [1 500; 2 250; 4 125; 8 86; 16 43; 3 250; 15 86; 16.9 43];
  for k = 1:rows (expected)
    n = velto ('open', port, expected(k, 1), dir);
    kivo_check (n == expected(k, 2), 'nchans %g gives nsamp %d, not %d', expected(k, 1), n, expected(k, 2));
    velto ('close');
  end
  % Other numeric classes count by value, and the result is set even when no
  % output is asked for.
  velto ('open', int32 (port), single (8), dir);
  kivo_check (ans == 86, 'ans after open holds nsamp');
  velto ('close');
  n = velto ('open', uint16 (port), int8 (2), dir);
  kivo_check (n == 250, 'integer classes are read by value');
  kivo_check_error (@() velto ('open', port, 2, dir), 'velto: already open, call velto(''close'') first', 'open twice');
  s = velto ('status');
  kivo_check (s.running && s.nchans == 2, 'the second open changed nothing');
  velto ('close');
  s = velto ('status');
  kivo_check (! s.running, 'closed');
end

function check_filter_counts (port, dir)
  kivo_check_error (@() velto ('open', port, 4, dir, ones (1, 5), ones (1, 4)), ...
    'velto: filter coefficients MUST describe 2nd order butterworth!', 'a of four');
  kivo_check (isempty (kivo_files (dir, '*.dat')) && isempty (kivo_files (dir, '*.json')), ...
              'a failed open leaves no file');
  n = velto ('open', port, 4, dir, ones (1, 5), ones (5, 1));
  kivo_check (n == 125, 'a row of five and a column of five are accepted');
  velto ('close');
  kivo_check (numel (kivo_files (dir, '*filtered*.dat')) == 1, 'a filtered file');
end

function check_filter_values (port, dir)
  % A NaN or an infinity (also one that single precision makes) would spoil
  % every filtered sample: refused before any file exists. Other values are
  % taken as given.
  refused = 'velto: filter coefficients MUST describe 2nd order butterworth!';
  good = [1 -1 0 0 0];
  for bad = {[NaN 0 -1 0 1], [0 Inf 0 0 0], [1 -Inf 0 0 0], [1 NaN 0 0 0], [1 0 1e39 0 0]}
    kivo_check_error (@() velto ('open', port, 4, dir, bad{1}, good), refused, sprintf ('b = %s', mat2str (bad{1})));
    kivo_check_error (@() velto ('open', port, 4, dir, good, bad{1}), refused, sprintf ('a = %s', mat2str (bad{1})));
  end
  kivo_check (isempty (kivo_files (dir, '*')), 'refused coefficients leave no file');
  for a = {zeros(1, 5), [1 -1 0 0 0]}
    velto ('open', port, 4, dir, [0 0 0 0 0], a{1});
    velto ('close');
  end
  kivo_check (numel (kivo_files (dir, '*filtered*.dat')) == 2, 'all-zero a and a = [1 -1 0 0 0] are accepted');
end

function check_file_names (port)
  % Where the files cannot be created, the messages show their names.
  missing = fullfile (getenv ('KIVO_TEST_TMP'), 'missing');
  printed = evalc ('velto (''open'', port, 4, [missing ''/''], ones (1, 5), ones (1, 5));');
  velto ('close');
  raw = regexp (printed, 'Could not open (\S+), samples will not be saved!', 'tokens', 'once');
  filtered = regexp (printed, 'Could not open (\S+), filtered samples will not be saved!', 'tokens', 'once');
  kivo_check (! isempty (raw) && ! isempty (filtered), 'both failures printed: %s', printed);
  if (! isempty (raw) && ! isempty (filtered))
    kivo_check (! isempty (regexp (raw{1}, ['^' missing '//\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d_kivo_samples\.dat$'], 'once')), ...
                'raw name %s', raw{1});
    kivo_check (strcmp (strrep (raw{1}, '_samples', '_filtered_samples'), filtered{1}), ...
                'names differ only in filtered_: %s %s', raw{1}, filtered{1});
  end
  kivo_check (! isempty (strfind (printed, 'UDP connection to @ port')), 'open went on');
end

function check_files_named (port, dir)
  % 'open' names its files in one more line, and 'status' holds their
  % absolute paths, after 'close' too; a file not made is ''.
  printed = evalc ('velto (''open'', port, 4, dir, ones (1, 5), ones (1, 5));');
  s = velto ('status');
  velto ('close');
  raw = fullfile (dir, kivo_files (dir, '*_kivo_samples.dat'){1});
  filtered = fullfile (dir, kivo_files (dir, '*_kivo_filtered_samples.dat'){1});
  kivo_check (ischar (s.raw_file) && strcmp (s.raw_file, raw) && strcmp (s.filtered_file, filtered), ...
              'status names %s and %s', s.raw_file, s.filtered_file);
  kivo_check (! isempty (strfind (printed, sprintf ('Samples will be saved to %s and filtered samples to %s\n', ...
                                                    raw, filtered))), 'open names both: %s', printed);
  s = velto ('status');
  kivo_check (strcmp (s.raw_file, raw), 'after close: %s', s.raw_file);
  velto ('open', port, 4, dir);
  s = velto ('status');
  velto ('close');
  kivo_check (s.raw_file(1) == '/' && ischar (s.filtered_file) && isempty (s.filtered_file), ...
              'no filter: raw %s, filtered [%s]', s.raw_file, s.filtered_file);
end

function check_port_conversion (port)
  dir = kivo_tmpdir ('fraction');
  printed = evalc ('velto (''open'', port + 0.9, 4, dir);');
  kivo_check (! isempty (strfind (printed, sprintf ('UDP connection to @ port %d opened...', port))), ...
              'fractional port: %s', printed);
  kivo_sim (port, '--channels', '4', '--count', '5', '--rate', '1000');
  s = kivo_wait (@(s) s.datagrams >= 5);
  kivo_check (s.datagrams == 5 && s.port == port, 'bound to the truncated port: %d datagrams', s.datagrams);
  velto ('close');
end

function check_held_port (port, dir)
  pid = kivo_hold_port (port, 5);
  kivo_check_error (@() velto ('open', port, 4, dir), 'bind - Address already in use', 'held port');
  kivo_check (isempty (kivo_files (dir, '*.dat')), 'the failed open took back the raw file');
  velto ('close');
  system (sprintf ('kill %d', pid));
end
