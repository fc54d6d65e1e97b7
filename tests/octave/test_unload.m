function test_unload ()
  % Unloading the plug-in while it acquires ends the acquisition first: no
  % crash, the files closed, and the port free for the next 'open'. Octave
  % ending while the plug-in acquires does the same.
  for how = {'clear velto', 'clear all', 'clear functions'}
    check_unload_by (how{1});
  end
  check_exit_while_acquiring (kivo_port (1), kivo_tmpdir ('exit'));
end

function check_unload_by (how)
  label = strrep (how, ' ', '_');
  velto ('open', kivo_port (0), 8, kivo_tmpdir (label));
  kivo_sim (kivo_port (0), '--channels', '8', '--count', '2100', '--rate', '20000');
  unload (how);
  dir = fullfile (getenv ('KIVO_TEST_TMP'), label);
  check_every_datagram (dir, how);
  n = velto ('open', kivo_port (0), 8, dir);  % loads the plug-in again; the port is free
  kivo_check (n == 86, '%s: open after unloading', how);
  velto ('close');
end

function check_exit_while_acquiring (port, dir)
  script = sprintf (['addpath (''%s''); velto (''open'', %d, 8, ''%s''); ' ...
                     'system (''"%s" --port %d --channels 8 --count 2100 --rate 20000 --quiet''); exit (0);'], ...
                    getenv ('VELTO_DIR'), port, dir, getenv ('KIVOSIM'), port);
  [status, out] = system (sprintf ('octave-cli --no-gui --norc --quiet --eval "%s" 2>&1', strrep (script, '"', '\"')));
  kivo_check (status == 0, 'Octave ended with status %d: %s', status, out);
  kivo_check (isempty (strfind (out, 'terminate')) && isempty (strfind (out, 'Segmentation')), 'clean exit: %s', out);
  check_every_datagram (dir, 'exit');
end

% The two whole blocks, and the block in progress that ending the
% acquisition saved: every datagram kivosim sent.
function check_every_datagram (dir, label)
  files = kivo_files (dir, '*_kivo_samples.dat');
  info = stat (fullfile (dir, files{1}));
  kivo_check (info.size == 2100 * 1396, '%s: the 2100 datagrams sent in the file (%d bytes)', label, info.size);
end

function unload (how)
  % In a scope of its own: 'clear all' also takes the caller's variables.
  eval (how);
end
