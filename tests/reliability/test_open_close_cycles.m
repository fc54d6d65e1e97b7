function test_open_close_cycles ()
  % Many 'open'/'close' cycles, without traffic and with kivosim sending
  % throughout: no growth in open file descriptors, threads or memory.
  cycles = str2double (getenv ('KIVO_CYCLES'));
  if (isnan (cycles))
    cycles = 1000;
  end
  port = kivo_port (0);
  dir = kivo_tmpdir ('cycles');
  run_cycles (port, dir, cycles, 'without traffic');
  pid = start_sender (port);
  unwind_protect
    run_cycles (port, dir, cycles, 'with traffic');
  unwind_protect_cleanup
    system (sprintf ('kill %d 2>/dev/null', pid));
  end_unwind_protect
end

function run_cycles (port, dir, cycles, label)
  warm_up = 200;  % every channel count, and the allocator settled
  for k = 1:warm_up
    cycle (port, dir, k);
  end
  before = kivo_rel_usage ();
  got = [0 0];
  t0 = tic ();
  for k = 1:cycles
    got += cycle (port, dir, k);
  end
  seconds = toc (t0);
  after = kivo_rel_usage ();
  printf ('%s: %d cycles in %.1f s, %d datagrams received, %d blocks saved; descriptors %d -> %d, threads %d -> %d, RSS %d -> %d KiB\n', ...
          label, cycles, seconds, got(1), got(2), before.fds, after.fds, before.threads, after.threads, ...
          before.rss_kib, after.rss_kib);
  kivo_check (after.fds <= before.fds, '%s: descriptors grew from %d to %d', label, before.fds, after.fds);
  kivo_check (after.threads <= before.threads, '%s: threads grew from %d to %d', label, before.threads, after.threads);
  % A leak of even 1 KiB a cycle would show; Octave's own heap moves a little.
  kivo_check (after.rss_kib - before.rss_kib < 1024, '%s: memory grew by %d KiB', label, after.rss_kib - before.rss_kib);
  if (strcmp (label, 'with traffic'))
    kivo_check (got(1) > 0 && got(2) > 0, '%s: %d datagrams arrived, %d blocks saved', label, got(1), got(2));
  end
end

function n = cycle (port, dir, k)
  velto ('open', port, 1 + mod (k, 16), dir);
  if (mod (k, 50) == 0)
    pause (0.08);  % now and then long enough for a block to fill and be saved
  elseif (mod (k, 10) == 0)
    pause (0.005);
  end
  d = velto ('read');
  s = velto ('status');
  n = [s.datagrams, s.blocks_saved];
  evalc ('velto (''close'')');
  delete (fullfile (dir, '*'));  % frees the names: an open never takes a name in use
end

function pid = start_sender (port)
  cmd = sprintf ('"%s" --host 127.0.0.1 --port %d --channels 1 --rate 20000 --duration 600 --quiet > /dev/null 2>&1 & echo $!', ...
                 getenv ('KIVOSIM'), port);
  [~, out] = system (cmd);
  pid = str2double (out);
end
