function test_kivo_read ()
  % kivo_read returns exactly what kivosim sent, for velto's raw and filtered
  % files and kivorec's file: with and without the metadata file, for a
  % range of blocks, for a file cut in the middle of a slot, and with the
  % samples per channel that the metadata states; and every sample at the
  % time kivosim sent it, from the metadata's fit or, without one, from the
  % recorders' own fit of the stamps.
  addpath (getenv ('KIVO_MATLAB_DIR'));
  folder = getenv ('KIVO_RECORDINGS');
  m = jsondecode (fileread (fullfile (folder, 'manifest.json')));
  [raw, warned] = read_warned (m.velto.raw);
  check_sent (raw, m.velto, 'raw');
  kivo_check (! warned && raw.slots == 4300, 'velto: closed mid-block, no warning');
  check_filtered (kivo_read (m.velto.filtered), raw, m.velto.filtered);
  [rec, warned] = read_warned (m.kivorec.file);
  check_sent (rec, m.kivorec, 'kivorec');
  kivo_check (! warned && strcmp (rec.metadata.ended, 'ctrl-c'), 'kivorec: stopped mid-block, no warning');
  check_without_metadata ({m.velto.raw, m.velto.filtered, m.kivorec.file}, [3 3 16], {raw, [], rec});
  kivo_check_error (@() kivo_read ('/no/such.dat'), ['kivo_read: /no/such.dat: no such file; check its ' ...
                    'folder and name (a recording is named like 2015-03-07_14-05-09_kivo_samples.dat)'], 'no file');
  check_block_range (m.velto.raw, raw);
  check_nsamp_from_metadata (m.kivorec.file, rec);
  check_cut_file (m.velto.raw, raw);
  check_times (kivo_read (m.velto_timed.file), m.velto_timed, 'velto');
  check_times (kivo_read (m.kivorec_timed.file), m.kivorec_timed, 'kivorec');
  check_block_range_times (m.kivorec_timed.file);
  check_refit (m.velto_refit);
end

% Every fresh row against kivosim's schedule: its datagram's due time (from
% the send log, by the running index in its header) and the sample rate on.
function check_times (r, entry, label)
  log = load (entry.log);
  h = double (r.header);
  index = h(:, 3) + 256 * h(:, 4) + 65536 * h(:, 5) + 16777216 * h(:, 6);
  kivo_check (isequal (log(index + 1, 1), r.sequence_no), '%s: the send log has every datagram', label);
  truth = reshape (log(index + 1, 2)' + (0:r.nsamp - 1)' / (entry.rate * r.nsamp), [], 1);
  fresh = repelem (! r.stale, r.nsamp);
  kivo_check (all (isfinite (r.time(fresh))) && all (isnan (r.time(! fresh))), '%s: a time for every fresh row', label);
  error = r.time(fresh) - truth(fresh);
  worst = max (abs (error - median (error)));
  kivo_check (worst < 25e-6, '%s: times within %.1f us of the true ones', label, worst * 1e6);
  ppm = (r.timing.sample_rate / (entry.rate * r.nsamp) - 1) * 1e6;
  % Within a part per million, or three times the fit's stated uncertainty
  % when a loaded machine made the sender's timing worse.
  tolerance = max (1, 3 * r.timing.sample_rate_uncertainty_ppm);
  kivo_check (abs (ppm) < tolerance, '%s: the sample rate %.3f ppm off (tolerance %.3f)', label, ppm, tolerance);
  kivo_check (strcmp (r.timing.stamp_source, 'kernel'), '%s: kernel stamps', label);
end

% kivorec's file is placed by the chain of its numbers from its first slot,
% across the stop, also when only its last blocks are read.
function check_block_range_times (file)
  whole = kivo_read (file);
  last = ceil (whole.slots / 1000);
  part = kivo_read (file, 'blocks', [last - 1 last]);
  kivo_check (isequal (part.time, whole.time((last - 2) * 1000 * whole.nsamp + 1:end)), ...
              'kivorec: the times of its last blocks, read alone');
end

% A file whose metadata holds no fit: its stamps fitted by velto's sample
% clock, as kivoinspect fits them.
function check_refit (entry)
  r = kivo_read (entry.file);
  [status, out] = system (sprintf ('"%s" --json "%s"', getenv ('KIVOINSPECT'), entry.file));
  inspected = jsondecode (out).timing;
  kivo_check (status == 0 && isequal (r.timing.segments, inspected.segments) ...
              && r.timing.sample_rate == inspected.sample_rate ...
              && r.timing.jitter_p99_seconds == inspected.jitter_p99_seconds, 'refitted: kivoinspect''s fit');
  kivo_check (isempty (r.timing.stamp_source), 'refitted: the stamps do not tell their source');
  r.timing.stamp_source = 'kernel';
  check_times (r, entry, 'refitted');
end

function check_sent (r, expected, label)
  kivo_check (r.slots == expected.slots, '%s: %d slots', label, r.slots);
  stale = find (r.stale)' - 1;
  kivo_check (isequal (stale, expected.stale(:)'), '%s: stale slots %s', label, mat2str (stale));
  fresh = ! r.stale;
  h = double (r.header(fresh, :));
  index = h(:, 3) + 256 * h(:, 4) + 65536 * h(:, 5) + 16777216 * h(:, 6);
  seq = r.sequence_no(fresh);
  kivo_check (all (h(:, 1) == 'K' & h(:, 2) == 'V' & h(:, 7) == r.nchans & h(:, 8) == 1), '%s: header bytes', label);
  kivo_check (all (mod (index, 65536) == seq) && all (h(:, 9) + 256 * h(:, 10) == 65535 - seq), ...
              '%s: sequence numbers belong to their headers', label);
  kivo_check (all (diff (index) > 0), '%s: datagrams in the order sent', label);
  samples = r.samples(repelem (fresh, r.nsamp), :);
  kivo_check (isequal (samples, kivo_pattern (seq, r.nsamp, r.nchans)), '%s: samples follow the pattern', label);
  if (strcmp (r.kind, 'recorder'))
    kivo_check (isempty (r.stamps), '%s: no stamps', label);
  else
    kivo_check (all (diff (r.stamps(fresh)) > 0) && all (r.stamps(fresh) > 1e9), '%s: stamps rise', label);
  end
end

function check_filtered (f, raw, file)
  kivo_check (strcmp (f.kind, 'filtered') && f.slots == raw.slots, 'filtered: kind and slots');
  kivo_check (isequal (f.stamps, raw.stamps) && isequal (f.header, raw.header) ...
              && isequal (f.sequence_no, raw.sequence_no) && isequal (f.stale, raw.stale), ...
              'filtered: stamps, headers, numbers and stale slots are the raw file''s');
  % Samples against their bytes, found by the layout's own arithmetic.
  fid = fopen (file, 'r');
  slot_bytes = 20 + 2 * f.nsamp * f.nchans;
  ok = true;
  for k = [0 1 999 1000 2998 3999 4299]
    for t = [0 f.nsamp - 1]
      for ch = 0:f.nchans - 1
        fseek (fid, k * slot_bytes + 20 + 2 * (t * f.nchans + ch), 'bof');
        ok = ok && fread (fid, 1, 'uint16', 0, 'ieee-le') == f.samples(k * f.nsamp + t + 1, ch + 1);
      end
    end
  end
  fclose (fid);
  kivo_check (ok, 'filtered: samples where the layout puts them');
end

function check_without_metadata (files, nchans, with_metadata)
  dir = kivo_tmpdir ('bare');
  for k = 1:numel (files)
    [~, name, ext] = fileparts (files{k});
    bare = fullfile (dir, [name ext]);
    copyfile (files{k}, bare);
    try
      kivo_read (bare);
      kivo_check (false, '%s: read without a channel count', name);
    catch err
      kivo_check (strcmp (err.identifier, 'kivo_read:channels'), '%s: %s', name, err.message);
    end
    [r, ~] = read_warned (bare, nchans(k));
    guessed = {'raw', 'filtered', 'recorder'}{k};
    kivo_check (strcmp (r.kind, guessed) && isempty (r.metadata), '%s: read as %s', name, r.kind);
    if (! isempty (with_metadata{k}))
      w = with_metadata{k};
      kivo_check (isequal ({r.samples, r.sequence_no, r.header, r.stale, r.stamps}, ...
                           {w.samples, w.sequence_no, w.header, w.stale, w.stamps}), '%s: same fields', name);
    end
  end
end

% 2 channels of 344 samples make the same 1388-byte datagrams as 16 of 43;
% the device's table would say 250 for 2 channels.
function check_nsamp_from_metadata (file, whole)
  dir = kivo_tmpdir ('nsamp');
  [folder, name] = fileparts (file);
  copyfile (file, dir);
  meta = jsondecode (fileread (fullfile (folder, [name '.json'])));
  meta.nchans = 2;
  meta.nsamp = 344;
  fid = fopen (fullfile (dir, [name '.json']), 'w');
  fputs (fid, jsonencode (meta));
  fclose (fid);
  r = kivo_read (fullfile (dir, [name '.dat']));
  kivo_check (r.nchans == 2 && r.nsamp == 344 && r.slots == whole.slots, 'nsamp from the metadata: %d', r.nsamp);
  kivo_check (isequal (reshape (r.samples.', [], 1), reshape (whole.samples.', [], 1)) ...
              && isequal (r.sequence_no, whole.sequence_no), 'nsamp from the metadata: the same samples');
end

function check_block_range (file, whole)
  part = kivo_read (file, 'blocks', [3 4]);
  rows = 2001:4000;
  kivo_check (part.first_block == 3 && part.slots == 2000, 'blocks 3-4: %d slots', part.slots);
  kivo_check (isequal (part.stale, whole.stale(rows)) && part.stale(1000), ...
              'blocks 3-4: the repeat of block 1 is found without block 1 in the range');
  kivo_check (isequal (part.samples, whole.samples((2000 * whole.nsamp + 1):4000 * whole.nsamp, :)) ...
              && isequal (part.stamps, whole.stamps(rows)), 'blocks 3-4: same slots as the whole file');
  beyond = kivo_read (file, 'blocks', [4 9]);
  kivo_check (beyond.slots == 1300, 'blocks 4-9: cut at the end of the file, the partial block included');
end

function check_cut_file (file, whole)
  dir = kivo_tmpdir ('cut');
  [folder, name] = fileparts (file);
  cut = fullfile (dir, [name '.dat']);
  copyfile (fullfile (folder, [name '.json']), dir);
  slot_bytes = 20 + 2 * whole.nsamp * whole.nchans;
  fid = fopen (file, 'r');
  bytes = fread (fid, 2300.5 * slot_bytes, 'uint8=>uint8');
  fclose (fid);
  fid = fopen (cut, 'w');
  fwrite (fid, bytes);
  fclose (fid);
  [r, warned] = read_warned (cut);
  kivo_check (warned, 'cut file: warned');
  kivo_check (r.slots == 2300 && isequal (r.sequence_no, whole.sequence_no(1:2300)) ...
              && isequal (r.samples, whole.samples(1:2300 * whole.nsamp, :)), 'cut file: its whole slots');
end

function [r, warned] = read_warned (varargin)
  lastwarn ('');
  r = kivo_read (varargin{:});
  [~, id] = lastwarn ();
  warned = strcmp (id, 'kivo_read:incomplete');
end
