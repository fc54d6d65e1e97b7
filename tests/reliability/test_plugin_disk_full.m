function test_plugin_disk_full ()
  % The disk fills up during an acquisition (a tmpfs with room for three
  % blocks of 16 channels): the plug-in keeps acquiring, 'read' keeps
  % working, the blocks written before stay whole and in order, 'close'
  % reports the blocks that could not be written, and the metadata counts
  % them.
  port = kivo_port (0);
  block = 1396000;
  dir = fullfile (getenv ('KIVO_TEST_TMP'), 'full');
  [ok, why] = kivo_rel_tmpfs (dir, 3 * block + 65536);
  if (! ok)
    printf ('SKIPPED: %s\n', why);
    return;
  end
  unwind_protect
    acquire_onto_full_disk (port, dir, block);
  unwind_protect_cleanup
    velto ('close');
    system (sprintf ('umount -l "%s"', dir));
  end_unwind_protect
end

function acquire_onto_full_disk (port, dir, block)
  velto ('open', port, 16, dir);
  kivo_sim (port, '--channels', '16', '--count', '6000', '--rate', '5000', '--content', 'pattern');
  s = kivo_wait (@(s) s.blocks_saved + s.write_errors >= 6);
  d = velto ('read');
  kivo_check (s.blocks_saved == 3 && s.write_errors == 3, 'full disk: %d blocks saved, %d failed (3 and 3 expected)', ...
              s.blocks_saved, s.write_errors);
  kivo_check (isstruct (d) && d.sequence_no == 5999, 'full disk: read returns the latest datagram');
  % Still acquiring.
  kivo_sim (port, '--channels', '16', '--count', '2000', '--rate', '5000', '--content', 'pattern', '--start-seq', '6000');
  s = kivo_wait (@(s) s.datagrams >= 8000 && s.blocks_saved + s.write_errors >= 8);
  d = velto ('read');
  kivo_check (s.running && s.datagrams == 8000 && s.sequence_gaps == 0 && isstruct (d) && d.sequence_no == 7999, ...
              'full disk: acquisition goes on (%d datagrams)', s.datagrams);
  text = evalc ('velto (''close'')');
  kivo_check (! isempty (regexp (text, 'velto: warning: 5 block\(s\) could not be written to \S+ \(No space left on device\)', 'once')), ...
              'full disk: close reports the failed writes: %s', text);
  files = kivo_files (dir, '*_kivo_samples.dat');
  info = stat (fullfile (dir, files{1}));
  [ok, slots, why] = kivo_rel_stream_ok (fullfile (dir, files{1}), 0);
  kivo_check (info.size == 3 * block && ok && slots == 3000, 'full disk: three whole blocks in order (%d bytes) %s', ...
              info.size, why);
  meta = jsondecode (fileread (fullfile (dir, strrep (files{1}, '.dat', '.json'))));
  kivo_check (strcmp (meta.ended, 'closed') && meta.blocks_written == 3 && meta.write_errors == 5 && ...
              meta.datagrams_received == 8000, 'full disk: metadata ended %s, %d blocks, %d write errors', ...
              meta.ended, meta.blocks_written, meta.write_errors);
end
