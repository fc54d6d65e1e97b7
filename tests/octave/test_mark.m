function test_mark ()
  % 'mark' against kivosim: the error before 'open' and after 'close'; a
  % mark before the first datagram gets sample n/a; marks during a stream
  % land at the row that was latest at the call, within one datagram, and
  % kivo_read and the metadata give them back.
  addpath (fullfile (fileparts (mfilename ('fullpath')), '..', '..', 'matlab'));
  port = kivo_port (0);
  dir = kivo_tmpdir ('mark');
  closed = 'velto: no acquisition is open to mark';
  kivo_check_error (@() velto ('mark', 1), closed, 'mark before open');
  velto ('open', port, 4, dir);
  kivo_check_error (@() velto ('mark', -1), ...
                    'velto: the mark''s value must be a whole number from 0 to 4294967295', 'a negative value');
  velto ('mark', 5, 'early');
  % At 50 datagrams/s one datagram (20 ms) outlasts the delivery's delay
  % behind the fitted line on a loaded machine.
  system (sprintf ('"%s" --host 127.0.0.1 --port %d --channels 4 --rate 50 --count 150 --quiet > /dev/null 2>&1 &', ...
                   getenv ('KIVOSIM'), port));
  kivo_wait (@(s) s.datagrams >= 10);
  rows = 0;
  bounds = zeros (0, 2);
  for k = 1:5
    d = velto ('samples');
    rows = rows + size (d.samples, 1);
    before = rows;
    velto ('mark', 100 + k, sprintf ('trial %d', k));
    d = velto ('samples');
    rows = rows + size (d.samples, 1);
    bounds(k, :) = [before, rows];
    pause (0.1);
  end
  kivo_wait (@(s) s.datagrams == 150);
  velto ('close');
  kivo_check_error (@() velto ('mark', 1), closed, 'mark after close');

  raw = fullfile (dir, kivo_files (dir, '*_kivo_samples.dat'){1});
  rec = kivo_read (raw);
  e = rec.events;
  kivo_check (numel (e) == 6 && isequal ([e.value], [5, 101:105]), 'six rows with their values');
  kivo_check (isequal ({e.text}, {'early', 'trial 1', 'trial 2', 'trial 3', 'trial 4', 'trial 5'}), 'their texts');
  kivo_check (isnan (e(1).sample) && isnan (e(1).onset) && isfinite (e(1).stamp), 'before the first datagram: n/a');
  for k = 1:5
    % The row latest at the call is before - 1 (0-based); the mark's
    % moment lies at most one datagram beyond the rows taken after it.
    s = e(k + 1).sample;
    kivo_check (s >= bounds(k, 1) - 1 - 125 && s <= bounds(k, 2) - 1 + 125, ...
                'mark %d at row %d, latest rows %d to %d', k, s, bounds(k, 1) - 1, bounds(k, 2) - 1);
    kivo_check (abs (e(k + 1).stamp - rec.time(s + 1)) < 125 / rec.timing.sample_rate + 0.01, ...
                'mark %d: its row''s time is near its stamp', k);
  end
  kivo_check (rec.metadata.event_count == 6 && ...
              strcmp (rec.metadata.events_file, strrep (kivo_files (dir, '*_kivo_samples.dat'){1}, ...
                                                        '_kivo_samples.dat', '_kivo_events.tsv')), ...
              'the metadata names the events file and counts its rows');
end
