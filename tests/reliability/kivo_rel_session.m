function kivo_rel_session (port, nchans, dir, control, reads_per_second)
  % An acquisition driven from outside (the soak and the network tests):
  % opens velto, then polls 'read' READS_PER_SECOND times a second until the
  % file CONTROL holds "stop". About once a second it prints
  %   STATUS <seconds> <datagrams> <sequence_gaps> <blocks_saved> <kernel_drops> <write_errors> <rss_kib> <reads>
  % and at the end "FINAL <status as JSON>", then what 'close' printed,
  % then "CLOSED". Prints "OPEN" once the port is bound.
  nsamp = velto ('open', port, nchans, dir);
  printf ('OPEN %d\n', nsamp);
  fflush (stdout);
  t0 = tic ();
  next_line = 1;
  reads = 0;
  period = 1 / reads_per_second;
  while (! stopping (control))
    d = velto ('read');
    reads += isstruct (d);
    if (toc (t0) >= next_line)
      print_status (toc (t0), reads);
      next_line += 1;
    end
    pause (period);
  end
  s = velto ('status');
  print_status (toc (t0), reads);
  printf ('FINAL %s\n', jsonencode (s));
  text = evalc ('velto (''close'')');
  printf ('%s', text);
  printf ('CLOSED\n');
  fflush (stdout);
end

function yes = stopping (control)
  yes = false;
  f = fopen (control, 'r');
  if (f >= 0)
    yes = strncmp (fgetl (f), 'stop', 4);
    fclose (f);
  end
end

function print_status (seconds, reads)
  s = velto ('status');
  u = kivo_rel_usage ();
  printf ('STATUS %.1f %d %d %d %d %d %d %d\n', seconds, s.datagrams, s.sequence_gaps, s.blocks_saved, ...
          s.kernel_drops, s.write_errors, u.rss_kib, reads);
  fflush (stdout);
end
