function test_kivo_read ()
  % kivo_read returns exactly what kivosim sent, for velto's raw and filtered
  % files and kivorec's file: with and without the metadata file, for a
  % range of blocks, for a file cut in the middle of a slot, and with the
  % samples per channel that the metadata states.
  addpath (getenv ('KIVO_MATLAB_DIR'));
  folder = getenv ('KIVO_RECORDINGS');
  m = jsondecode (fileread (fullfile (folder, 'manifest.json')));
  raw = kivo_read (m.velto.raw);
  check_sent (raw, m.velto, 'raw');
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
  kivo_check (isequal (samples, pattern (seq, r.nsamp, r.nchans)), '%s: samples follow the pattern', label);
  if (strcmp (r.kind, 'recorder'))
    kivo_check (isempty (r.stamps), '%s: no stamps', label);
  else
    kivo_check (all (diff (r.stamps(fresh)) > 0) && all (r.stamps(fresh) > 1e9), '%s: stamps rise', label);
  end
end

% kivo::pattern_sample for every time step of every slot: rows slot by slot,
% nsamp time steps each; one column per channel. No product exceeds 2^32.
function values = pattern (seq, nsamp, nchans)
  s = repelem (seq(:), nsamp);
  t = repmat ((0:nsamp - 1)', numel (seq), 1);
  x = s * 40503 + (0:nchans - 1) * 9973 + t * 131;
  values = mod (bitxor (x, floor (x / 2048)), 65536);
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
  for k = [0 1 999 1000 2998 3999]
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
  kivo_check (isequal (part.samples, whole.samples((2000 * whole.nsamp + 1):end, :)) ...
              && isequal (part.stamps, whole.stamps(rows)), 'blocks 3-4: same slots as the whole file');
  beyond = kivo_read (file, 'blocks', [4 9]);
  kivo_check (beyond.slots == 1000, 'blocks 4-9: cut at the end of the file');
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
