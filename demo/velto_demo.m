function velto_demo (port, out, seconds)
  % Opens the plug-in on PORT with 8 channels, polls the latest datagram for
  % SECONDS seconds while the simulator streams, and closes it again.
  velto ('version');
  nsamp = velto ('open', port, 8, out);
  printf ('Listening: %d samples per channel in each datagram\n', nsamp);
  t0 = tic ();
  last = -1;
  while (toc (t0) < seconds)
    d = velto ('read');
    s = velto ('status');
    if (isstruct (d))
      last = d.sequence_no;
    end
    printf ('\r%5.1f s  datagrams %6d  latest sequence # %5d  gaps %d  blocks saved %d', ...
            toc (t0), s.datagrams, last, s.sequence_gaps, s.blocks_saved);
    pause (0.2);
  end
  printf ('\n');
  velto ('close');
  s = velto ('status');
  printf ('Received %d datagrams; %d blocks of 1000 saved; %d write errors.\n', ...
          s.datagrams, s.blocks_saved, s.write_errors);
end
