function test_surroundings ()
  % What happens around an acquisition costs it no datagram and no word of
  % its files: another Octave opening its port, a forked child that exits,
  % a change of the current folder.
  check_second_opener (kivo_port (0), kivo_tmpdir ('first'), kivo_tmpdir ('second'));
  check_forked_child (kivo_port (1), kivo_tmpdir ('fork'));
  check_change_of_folder (kivo_port (2), kivo_tmpdir ('cd'));
end

function check_second_opener (port, dir, other_dir)
  velto ('open', port, 4, dir);
  octave = fullfile (OCTAVE_HOME (), 'bin', 'octave-cli');
  second = sprintf (['"%s" --no-gui --norc --quiet --eval "addpath (''%s''); try, velto (''open'', %d, 4, ''%s''); ' ...
                     'catch err, disp (err.message); end; velto (''close'');" 2>&1'], ...
                    octave, getenv ('VELTO_DIR'), port, other_dir);
  [~, out] = system (second);
  kivo_check (! isempty (strfind (out, 'bind - Address already in use')), 'the second opener is refused: %s', out);
  kivo_sim (port, '--channels', '4', '--count', '2000', '--rate', '20000', '--content', 'pattern');
  s = kivo_wait (@(s) s.datagrams >= 2000);
  kivo_check (s.datagrams == 2000, 'the first opener keeps every datagram: %d', s.datagrams);
  velto ('close');
end

function check_forked_child (port, dir)
  velto ('open', port, 4, dir);
  pid = fork ();
  if (pid == 0)
    exit (0);  % the plug-in's exit hook runs in the child
  end
  ended = false;
  for k = 1:600
    if (waitpid (pid, WNOHANG ()) == pid)
      ended = true;
      break;
    end
    pause (0.05);
  end
  kivo_check (ended, 'the forked child exits');
  if (! ended)
    kill (pid, 9);
    waitpid (pid);
  end
  kivo_sim (port, '--channels', '4', '--count', '2000', '--rate', '20000', '--content', 'pattern');
  s = kivo_wait (@(s) s.datagrams >= 2000);
  velto ('close');
  kivo_check (s.datagrams == 2000 && s.failed_receives == 0, 'the parent receives every datagram: %d, %d failed', ...
              s.datagrams, s.failed_receives);
  check_recording (dir, 'after the fork');
end

function check_change_of_folder (port, dir)
  here = pwd ();
  unwind_protect
    cd (dir);
    mkdir ('run');
    mkdir (fullfile ('other', 'run'));
    velto ('open', port, 4, 'run');
    cd ('other');
    kivo_sim (port, '--channels', '4', '--count', '2000', '--rate', '20000', '--content', 'pattern');
    kivo_wait (@(s) s.datagrams >= 2000);
    printed = evalc ('velto (''close'');');
  unwind_protect_cleanup
    cd (here);
  end_unwind_protect
  kivo_check (isempty (printed), 'a change of folder is no trouble: %s', printed);
  check_recording (fullfile (dir, 'run'), 'after cd');
  kivo_check (isempty (kivo_files (fullfile (dir, 'other', 'run'), '*')), 'nothing went to the new folder');
end

% The folder holds one raw file of 2000 datagrams of 4 channels, its two
% blocks, and their metadata, completed.
function check_recording (folder, label)
  dat = kivo_files (folder, '*_kivo_samples.dat');
  json = kivo_files (folder, '*_kivo_samples.json');
  kivo_check (numel (dat) == 1 && numel (json) == 1, '%s: one sample file and its metadata', label);
  if (numel (dat) != 1 || numel (json) != 1)
    return;
  end
  info = dir (fullfile (folder, dat{1}));
  kivo_check (info.bytes == 2 * 1020000, '%s: two blocks in the file, not %d bytes', label, info.bytes);
  meta = jsondecode (fileread (fullfile (folder, json{1})));
  kivo_check (strcmp (meta.ended, 'closed') && meta.datagrams_received == 2000 && meta.blocks_written == 2 ...
              && meta.failed_receives == 0, '%s: the metadata: %s, %d datagrams, %d blocks, %d failed', label, ...
              meta.ended, meta.datagrams_received, meta.blocks_written, meta.failed_receives);
end
