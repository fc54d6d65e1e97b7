function test_metadata_unload ()
  % The metadata file is valid JSON that matches its sample file, complete
  % after 'close', after the plug-in is unloaded while acquiring, and after
  % Octave exits while acquiring.
  check_ending (kivo_tmpdir ('close'), 'velto (''close'')', 'closed');
  check_ending (kivo_tmpdir ('clear'), 'clear velto', 'unloaded');
  check_exit_while_acquiring (kivo_port (1), kivo_tmpdir ('exit'));
end

function check_ending (dir, how, ended)
  velto ('open', kivo_port (0), 8, dir);
  kivo_sim (kivo_port (0), '--channels', '8', '--count', '2100', '--rate', '20000');
  kivo_wait (@(s) s.datagrams >= 2100);  % the receiver takes the last datagrams off the socket
  unload (how);
  check_metadata (dir, ended, how);
end

function check_exit_while_acquiring (port, dir)
  script = sprintf (['addpath (''%s'', ''%s''); velto (''open'', %d, 8, ''%s''); ' ...
                     'system (''"%s" --port %d --channels 8 --count 2100 --rate 20000 --quiet''); ' ...
                     'kivo_wait (@(s) s.datagrams >= 2100); exit (0);'], ...
                    getenv ('VELTO_DIR'), fileparts (which ('kivo_wait')), port, dir, getenv ('KIVOSIM'), port);
  [status, out] = system (sprintf ('octave-cli --no-gui --norc --quiet --eval "%s" 2>&1', strrep (script, '"', '\"')));
  kivo_check (status == 0, 'Octave ended with status %d: %s', status, out);
  check_metadata (dir, 'unloaded', 'exit');
end

function check_metadata (dir, ended, label)
  names = kivo_files (dir, '*.json');
  kivo_check (numel (names) == 1, '%s: one metadata file (%d)', label, numel (names));
  if (numel (names) != 1)
    return;
  end
  meta = jsondecode (fileread (fullfile (dir, names{1})));
  info = stat (fullfile (dir, meta.sample_file));
  kivo_check (! isempty (info), '%s: the metadata names its sample file', label);
  kivo_check (strcmp (meta.ended, ended), '%s: ended "%s", expected "%s"', label, meta.ended, ended);
  kivo_check (strcmp (meta.kind, 'raw') && meta.nchans == 8 && meta.slot_size_bytes == 1396, '%s: layout', label);
  % Two whole blocks and the 100 datagrams of the block in progress.
  kivo_check (meta.blocks_written == 2 && meta.slots_written == 2100 && info.size == 2100 * meta.slot_size_bytes, ...
              '%s: %d blocks and %d slots written, file of %d bytes', label, meta.blocks_written, ...
              meta.slots_written, info.size);
  kivo_check (meta.datagrams_received == 2100 && meta.sequence_gaps == 0 && meta.write_errors == 0, ...
              '%s: %d datagrams received', label, meta.datagrams_received);
  kivo_check (strcmp (meta.software_version, getenv ('KIVO_VERSION')) && ! isempty (meta.host), '%s: version and host', label);
end

function unload (how)
  % In a scope of its own: 'clear all' would also take the caller's variables.
  eval (how);
end
