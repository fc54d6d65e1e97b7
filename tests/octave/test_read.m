function test_read ()
  % 'read' against kivosim: pacing by the unread count, the shape of the
  % result, the usage error, and 'status' adding up.
  port = kivo_port (0);
  check_usage ();
  check_pacing_and_shapes (port, kivo_tmpdir ('read'));
  check_field_values (kivo_port (1), kivo_tmpdir ('values'));
  check_larger_datagram_later (kivo_port (2), kivo_tmpdir ('grow'));
  check_status_adds_up (kivo_port (3), kivo_tmpdir ('status'));
  check_nothing_saved (kivo_port (4));
  check_wrong_count_said_early (kivo_port (5), kivo_tmpdir ('wrong'));
end

function check_usage ()
  usage = 'velto: data = velto(''read'')';
  kivo_check_error (@() velto ('read', 1), usage, 'read with an argument');
  try
    [a, b] = velto ('read');
    kivo_check (false, 'two outputs: no error');
  catch err
    kivo_check (strcmp (kivo_error_text (err), usage), 'two outputs: %s', err.message);
  end
  try
    velto ('read');
    kivo_check (false, 'no output: no error');
  catch err
    kivo_check (strcmp (kivo_error_text (err), usage), 'no output: %s', err.message);
  end
end

function check_pacing_and_shapes (port, dir)
  n = velto ('open', port, 4, dir);
  d = velto ('read');
  kivo_check (isequal (size (d), [0 0]), 'read before the first datagram is []');
  kivo_sim (port, '--channels', '4', '--count', '7', '--content', 'pattern', '--start-seq', '100');
  wait_for_datagrams (7);
  for k = 1:7
    d = velto ('read');
    kivo_check (isstruct (d) && isequal (fieldnames (d), {'sequence_no'; 'samples'}), 'read %d is a structure', k);
    kivo_check (d.sequence_no == 106, 'read %d returns the latest datagram, not %d', k, d.sequence_no);
    kivo_check (isequal (size (d.samples), [4 * n 1]) && isa (d.samples, 'double'), 'samples are 500x1');
  end
  d = velto ('read');
  kivo_check (isequal (size (d), [0 0]), 'the eighth read is []');
  velto ('close');
  d = velto ('read');
  kivo_check (isequal (size (d), [0 0]), 'read after close is []');

  velto ('open', port, 16, dir);
  kivo_sim (port, '--channels', '16', '--count', '1500', '--rate', '20000');
  wait_for_datagrams (1500);
  reads = 0;
  while (isstruct (velto ('read')))
    reads = reads + 1;
  end
  kivo_check (reads == 1000 + floor (8000 / 1388), 'a backlog gives 1005 reads, not %d', reads);
  kivo_sim (port, '--channels', '16', '--count', '1');
  wait_for_datagrams (1501);
  d = velto ('read');
  kivo_check (isequal (size (d.samples), [688 1]), '16 channels give 688 samples');
  velto ('close');
end

function check_field_values (port, dir)
  velto ('open', port, 4, dir);
  datagram = zeros (1, 1012, 'uint8');
  datagram(11:12) = [hex2dec('34') hex2dec('12')];
  datagram(13:14) = [255 255];          % channel 0, time step 0
  datagram(15:16) = [1 2];              % channel 1, time step 0: 513
  datagram(13 + 2 * 4:14 + 2 * 4) = 7;  % channel 0, time step 1: 1799
  kivo_send_bytes (port, datagram);
  wait_for_datagrams (1);
  d = velto ('read');
  kivo_check (d.sequence_no == 4660, 'sequence_no from 0x34 0x12 is %d', d.sequence_no);
  kivo_check (isequal (d.samples(1:2), [65535; 513]), 'samples of time step 0');
  kivo_check (d.samples(5) == 1799, 'channel 0 at time step 1 is element 5');
  datagram(11:12) = 255;
  kivo_send_bytes (port, datagram);
  wait_for_datagrams (2);
  d = velto ('read');
  kivo_check (d.sequence_no == 65535, 'sequence_no from 0xFF 0xFF is %d', d.sequence_no);
  velto ('close');
end

function check_larger_datagram_later (port, dir)
  velto ('open', port, 1, dir);
  kivo_sim (port, '--channels', '1', '--count', '3');
  wait_for_datagrams (3);
  d = velto ('read');
  kivo_check (numel (d.samples) == 500, 'one channel: 500 samples');
  velto ('close');
  velto ('open', port, 15, dir);
  kivo_sim (port, '--channels', '15', '--count', '3', '--content', 'pattern');
  wait_for_datagrams (3);
  d = velto ('read');
  kivo_check (numel (d.samples) == 1290, '15 channels after one: 1290 samples, not %d', numel (d.samples));
  velto ('close');
end

function check_status_adds_up (port, dir)
  velto ('open', port, 8, dir);
  out = kivo_sim (port, '--channels', '8', '--count', '3200', '--rate', '20000', '--skip-every', '1000', ...
                  '--empty-every', '800');
  % The last datagram sent is an empty one, and the third block is saved on
  % the save thread: both come after the last datagram counted.
  s = kivo_wait (@(s) s.datagrams + s.failed_receives >= 3200 && s.blocks_saved >= 3);
  velto ('close');
  sent = sscanf (out, 'kivosim: sent %d datagrams');
  kivo_check (sent == 3200, 'kivosim sent %d', sent);
  kivo_check (s.datagrams == 3196 && s.failed_receives == 4, ...
              'datagrams %d and failed receives %d add up to what was sent', s.datagrams, s.failed_receives);
  kivo_check (s.bytes == 3196 * 1388, 'bytes %d', s.bytes);
  % Three skipped numbers, and three of the four empty datagrams (the last
  % one is the last datagram sent: nothing follows it to show the gap).
  kivo_check (s.sequence_gaps == 3 + 3, 'gaps: %d', s.sequence_gaps);
  kivo_check (s.blocks_saved == 3 && s.write_errors == 0 && s.kernel_drops == 0, 'blocks saved %d', s.blocks_saved);
  kivo_check (s.socket_buffer_bytes > 0, 'socket buffer %d', s.socket_buffer_bytes);
  files = kivo_files (dir, '*_kivo_samples.dat');
  info = stat (fullfile (dir, files{end}));
  % Three blocks, each with the slot an empty datagram left unfilled, and the
  % 199 datagrams of the fourth, which 'close' saved.
  kivo_check (info.size == (3000 + 199) * 1396, 'three blocks and 199 slots in the file, %d bytes', info.size);
end

function check_nothing_saved (port)
  % A folder that cannot take the files: the acquisition runs without them,
  % 'status' says so, and 'close' says again what was not saved.
  missing = fullfile (getenv ('KIVO_TEST_TMP'), 'no_such_folder');
  evalc ('velto (''open'', port, 2, missing, ones (1, 5), ones (1, 5));');
  s = velto ('status');
  kivo_check (s.running && ! s.saving, 'running without saving');
  kivo_sim (port, '--channels', '2', '--count', '1200', '--rate', '20000');
  wait_for_datagrams (1200);
  kivo_check (isstruct (velto ('read')), 'read returns data');
  printed = evalc ('velto (''close'');');
  said = @(kind) ['velto: warning: nothing was saved: (\S+_kivo_' kind 'samples\.dat) could not be created'];
  raw = regexp (printed, said (''), 'tokens');
  filtered = regexp (printed, said ('filtered_'), 'tokens');
  kivo_check (numel (raw) == 1 && numel (filtered) == 1 && strncmp (raw{1}{1}, missing, numel (missing)), ...
              'close says both files were not saved: %s', printed);
  s = velto ('status');
  kivo_check (s.blocks_saved == 0 && ! s.saving, 'no block saved');
end

function check_wrong_count_said_early (port, dir)
  % 8 channels sent to an acquisition told 4: the first 'status' or 'read'
  % after the first such datagram says so, once an acquisition, besides the
  % count that 'close' gives. Where the system does not tell a longer
  % datagram's length, it is "more than 1012 bytes".
  length = '(1388|more than 1012)';
  early = ['velto: warning: a datagram of ' length ' bytes arrived where 1012 bytes are expected for 4 channels'];
  for run = 1:2
    velto ('open', port, 4, dir);
    kivo_sim (port, '--channels', '8', '--count', '20', '--rate', '20000');
    printed = '';
    t0 = tic ();
    do
      printed = [printed evalc('s = velto (''status'');') evalc('d = velto (''read'');')];
    until (s.datagrams >= 20 || toc (t0) > 30)
    printed = [printed evalc('s = velto (''status'');')];
    closing = evalc ('velto (''close'');');
    kivo_check (numel (regexp (printed, early)) == 1, 'run %d: said once while running: %s', run, printed);
    kivo_check (isempty (regexp (closing, early, 'once')) && ! isempty (regexp (closing, ['20 datagram\(s\) of ' length], 'once')), ...
                'run %d: close gives the count: %s', run, closing);
  end
end

function wait_for_datagrams (n)
  s = kivo_wait (@(s) s.datagrams >= n);
  if (s.datagrams < n)
    error ('only %d of %d datagrams arrived', s.datagrams, n);
  end
end
