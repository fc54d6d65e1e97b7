function test_live_scope ()
  % examples/live_scope.m against kivosim, off screen: it redraws while the
  % datagrams arrive, sees every one of them, and prints its last frame.
  addpath (fullfile (fileparts (mfilename ('fullpath')), '..', '..', 'examples'));
  port = kivo_port (0);
  png = fullfile (getenv ('KIVO_TEST_TMP'), 'live_scope.png');
  % kivosim begins once live_scope has bound the port, and ends before it does.
  system (sprintf (['(for i in $(seq 400); do grep -qi '':%04X '' /proc/net/udp && break; sleep 0.05; done; ' ...
                    '"%s" --host 127.0.0.1 --port %d --channels 8 --rate 1000 --count 2500 --content sine --quiet) ' ...
                    '> /dev/null 2>&1 &'], port, getenv ('KIVOSIM'), port));
  stats = live_scope (port, 8, 5, 1, png, kivo_tmpdir ('recording'));
  info = stat (png);
  kivo_check (! isempty (info) && info.size > 1000, 'the last frame printed to %s', png);
  kivo_check (stats.frames > 1 && stats.datagrams == 2500 && stats.gaps == 0 && stats.missed == 0, ...
              'redrawn %d times, %d datagrams, %d gaps, %d missed', stats.frames, stats.datagrams, ...
              stats.gaps, stats.missed);
  kivo_check (abs (stats.rate - 86000) < 860, 'the fitted rate %.1f samples/s is about 86,000', stats.rate);
end
