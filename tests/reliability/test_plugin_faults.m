function test_plugin_faults ()
  % The plug-in under faults of its surroundings: a sample folder that does
  % not exist, a port already in use, the sample folder removed or made
  % read-only during a run. Acquisition goes on, 'read' keeps working, and
  % 'close' says what was lost.
  folder_missing (kivo_port (0));
  port_in_use (kivo_port (1), kivo_port (2));
  folder_removed (kivo_port (3), kivo_tmpdir ('removed'));
  folder_read_only (kivo_port (4), kivo_tmpdir ('readonly'));
end

function folder_missing (port)
  dir = fullfile (getenv ('KIVO_TEST_TMP'), 'no', 'such', 'folder');
  text = evalc ('n = velto (''open'', port, 8, dir);');
  kivo_check (n == 86 && ! isempty (strfind (text, 'samples will not be saved!')), ...
              'missing folder: open goes on and says so: %s', text);
  sim = kivo_sim (port, '--channels', '8', '--count', '2500', '--rate', '20000', '--content', 'pattern');
  s = kivo_wait (@(s) s.datagrams >= 2500);
  d = velto ('read');
  kivo_check (s.datagrams == 2500 && s.sequence_gaps == 0 && isstruct (d) && d.sequence_no == 2499, ...
              'missing folder: acquires (%d datagrams)', s.datagrams);
  kivo_check (s.blocks_saved == 0 && s.write_errors == 0, 'missing folder: nothing saved, nothing failed');
  text = evalc ('velto (''close'')');
  kivo_check (! exist (fileparts (dir), 'dir'), 'missing folder: nothing created');
end

function port_in_use (port, free_port)
  pid = kivo_hold_port (port, 20);
  dir = kivo_tmpdir ('port');
  try
    velto ('open', port, 8, dir);
    kivo_check (false, 'port in use: open succeeded');
  catch err
    text = kivo_error_text (err);
    kivo_check (strcmp (text, 'bind - Address already in use'), 'port in use: "%s"', text);
  end
  s = velto ('status');
  kivo_check (! s.running, 'port in use: not running after the failed open');
  velto ('close');
  n = velto ('open', free_port, 8, dir);  % the next open is not hindered
  kivo_sim (free_port, '--channels', '8', '--count', '1000', '--rate', '20000');
  s = kivo_wait (@(s) s.blocks_saved >= 1);
  kivo_check (n == 86 && s.datagrams == 1000 && s.blocks_saved == 1, 'port in use: a later open acquires');
  velto ('close');
  system (sprintf ('kill %d 2>/dev/null', pid));
end

function folder_removed (port, dir)
  velto ('open', port, 8, dir);
  kivo_sim (port, '--channels', '8', '--count', '2500', '--rate', '20000', '--content', 'pattern');
  kivo_wait (@(s) s.blocks_saved >= 2);
  confirm_recursive_rmdir (false);
  rmdir (dir, 's');
  kivo_sim (port, '--channels', '8', '--count', '1500', '--rate', '20000', '--start-seq', '2500');
  s = kivo_wait (@(s) s.datagrams >= 4000 && s.blocks_saved >= 4);
  d = velto ('read');
  kivo_check (s.datagrams == 4000 && isstruct (d), 'removed folder: acquisition goes on (%d datagrams)', s.datagrams);
  text = evalc ('velto (''close'')');
  kivo_check (! isempty (regexp (text, 'velto: warning: \S+_kivo_samples.dat was removed while it was written; the 4 block\(s\) saved to it are lost', 'once')), ...
              'removed folder: close says the blocks are lost: %s', text);
  kivo_check (! isempty (strfind (text, 'velto: warning: could not complete')), ...
              'removed folder: close says the metadata could not be completed: %s', text);
end

function folder_read_only (port, dir)
  [~, uid] = system ('id -u');
  root = str2double (uid) == 0;
  velto ('open', port, 8, dir);
  kivo_sim (port, '--channels', '8', '--count', '2500', '--rate', '20000', '--content', 'pattern');
  kivo_wait (@(s) s.blocks_saved >= 2);
  % As root a mode without write permission does not stop root: the
  % immutable attribute does. Without root, take the write permission away.
  [immutable, out] = system (sprintf ('chattr +i "%s" 2>&1', dir));
  if (immutable != 0)
    system (sprintf ('chmod a-w "%s"', dir));
  end
  kivo_sim (port, '--channels', '8', '--count', '1500', '--rate', '20000', '--content', 'pattern', '--start-seq', '2500');
  s = kivo_wait (@(s) s.blocks_saved >= 4);
  text = evalc ('velto (''close'')');
  if (immutable == 0)
    system (sprintf ('chattr -i "%s"', dir));
  else
    system (sprintf ('chmod u+w "%s"', dir));
  end
  files = kivo_files (dir, '*_kivo_samples.dat');
  [ok, slots, why] = kivo_rel_stream_ok (fullfile (dir, files{1}), 0);
  kivo_check (s.blocks_saved == 4 && s.write_errors == 0 && ok && slots == 4000, ...
              'read-only folder: the open file keeps every block (%d slots) %s', slots, why);
  if (immutable == 0 || ! root)
    kivo_check (! isempty (strfind (text, 'velto: warning: could not complete')), ...
                'read-only folder: close says the metadata could not be completed: %s', text);
  else
    printf ('note: read-only folder: chattr +i failed (%s) and root ignores file modes: only the samples are checked\n', strtrim (out));
  end
end
