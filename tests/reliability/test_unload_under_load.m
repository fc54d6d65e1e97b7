function test_unload_under_load ()
  % 'clear velto' and Octave's exit while kivosim sends 20,000 datagrams/s of
  % 16 channels: no crash, the files closed with every datagram received, in
  % order, and the metadata complete ("unloaded").
  rounds = 4;
  port = kivo_port (0);
  for k = 1:rounds
    clear_while_sending (port, kivo_tmpdir (sprintf ('clear%d', k)), 0.2 + 0.15 * k);
  end
  for k = 1:rounds
    exit_while_sending (kivo_port (k), kivo_tmpdir (sprintf ('exit%d', k)), 0.2 + 0.15 * k);
  end
end

function clear_while_sending (port, dir, seconds)
  velto ('open', port, 16, dir);
  pid = start_sender (port);
  pause (seconds);
  s = velto ('status');
  unload ();
  label = sprintf ('clear velto after %.2f s', seconds);
  kivo_check (s.running && s.datagrams > 0, '%s: datagrams arrived before (%d)', label, s.datagrams);
  check_files (dir, label);
  system (sprintf ('kill %d 2>/dev/null', pid));
end

function exit_while_sending (port, dir, seconds)
  script = sprintf (['addpath (''%s''); velto (''open'', %d, 16, ''%s''); ' ...
                     '[~, pid] = system (''"%s" --host 127.0.0.1 --port %d --channels 16 --rate 20000 --duration 5 --content pattern --quiet > /dev/null 2>&1 & echo $!''); ' ...
                     'printf (''SENDER %%s\\n'', strtrim (pid)); pause (%g); exit (0);'], getenv ('VELTO_DIR'), port, dir, getenv ('KIVOSIM'), port, seconds);
  [status, out] = system (sprintf ('octave-cli --no-gui --norc --quiet --eval "%s" 2>&1', strrep (strrep (script, '"', '\"'), '$', '\$')));
  label = sprintf ('exit after %.2f s', seconds);
  kivo_check (status == 0, '%s: Octave ended with status %d: %s', label, status, out);
  kivo_check (isempty (strfind (out, 'terminate')) && isempty (strfind (out, 'Segmentation')) && ...
              isempty (strfind (out, 'panic')), '%s: clean exit: %s', label, out);
  check_files (dir, label);
  sender = regexp (out, 'SENDER (\d+)', 'tokens', 'once');
  if (! isempty (sender))
    system (sprintf ('kill %s 2>/dev/null', sender{1}));
  end
end

function check_files (dir, label)
  files = kivo_files (dir, '*_kivo_samples.dat');
  if (numel (files) != 1)
    kivo_check (false, '%s: %d sample files', label, numel (files));
    return;
  end
  file = fullfile (dir, files{1});
  meta = jsondecode (fileread (strrep (file, '.dat', '.json')));
  info = stat (file);
  printf ('%s: %d datagrams received, %d blocks written, %d sequence gaps, ended "%s"\n', label, ...
          meta.datagrams_received, meta.blocks_written, meta.sequence_gaps, meta.ended);
  kivo_check (strcmp (meta.ended, 'unloaded'), '%s: metadata ended "%s"', label, meta.ended);
  kivo_check (info.size == meta.slots_written * 1396 && meta.blocks_written == floor (meta.slots_written / 1000), ...
              '%s: the slots the metadata counts (%d bytes, %d slots, %d blocks)', label, info.size, ...
              meta.slots_written, meta.blocks_written);
  kivo_check (meta.datagrams_received == meta.slots_written && meta.datagrams_not_saved == 0 && meta.write_errors == 0, ...
              '%s: %d datagrams received, %d written', label, meta.datagrams_received, meta.slots_written);
  if (meta.slots_written > 0)
    [ok, slots, why] = kivo_rel_stream_ok (file, 0);
    kivo_check (ok || meta.sequence_gaps > 0, '%s: %d slots in order %s', label, slots, why);
  end
end

function pid = start_sender (port)
  cmd = sprintf ('"%s" --host 127.0.0.1 --port %d --channels 16 --rate 20000 --duration 5 --content pattern --quiet > /dev/null 2>&1 & echo $!', ...
                 getenv ('KIVOSIM'), port);
  [~, out] = system (cmd);
  pid = str2double (out);
end

function unload ()
  % In a scope of its own.
  clear velto;
end
