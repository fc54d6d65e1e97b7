function rec = kivo_read (file, varargin)
%KIVO_READ  Read a Kivo sample file into a structure.
%   REC = KIVO_READ (FILE) reads a sample file written by velto (raw or
%   filtered) or by kivorec. The metadata file beside it (FILE with .json
%   for .dat) tells its channel count, samples per channel and kind.
%
%   REC = KIVO_READ (FILE, NCHANS) gives the channel count, which a file
%   without a metadata file needs; the samples per channel follow from it as
%   the device sends them.
%
%   REC = KIVO_READ (..., 'blocks', [FIRST LAST]) reads blocks FIRST to LAST
%   only (numbered from 1, 1000 slots each), without reading the rest of
%   the file. A range beyond the end of the file is cut at the end.
%
%   REC = KIVO_READ (..., 'kind', KIND) reads the file as 'raw', 'filtered'
%   or 'recorder' when it has no metadata file (by default the kind is
%   guessed from the name and the first slot).
%
%   REC = KIVO_READ (..., 'native', true) returns the samples as uint16
%   rather than double.
%
%   REC has one entry per slot (one slot holds one datagram) in
%     stamps       receive time, seconds since 1970-01-01 00:00:00 UTC
%                  (slots x 1 double; [] for kivorec's files, which have none)
%     sequence_no  the datagram's sequence number (slots x 1 double)
%     header       the datagram's 10 header bytes (slots x 10 uint8)
%     stale        true where the slot repeats an earlier datagram rather than
%                  holding a new one: its stamp and bytes equal an earlier
%                  slot's (in a filtered file its stamp, header and sequence
%                  number), or it was never written (stamp 0, zero bytes).
%                  velto's receiver leaves such slots at the end of a block
%                  when receives failed (slots x 1 logical)
%   and
%     samples      (slots * nsamp) x nchans: one column per channel, in time
%                  order - the nsamp time steps of each slot one after the
%                  other (filtered files hold the filter's output + 32767)
%     time         (slots * nsamp) x 1: the time of each row of samples,
%                  seconds since 1970-01-01 00:00:00 UTC, on the device's
%                  clock fitted to the receive stamps; NaN in stale slots
%     timing       the fit: sample_rate (samples per second per channel),
%                  sample_rate_uncertainty_ppm, segments (first_sample,
%                  last_sample, t0, sample_rate each: sample n of a segment
%                  is at t0 + n / sample_rate), the jitter of the stamps
%                  above the fitted line (jitter_median_seconds,
%                  jitter_p99_seconds, jitter_max_seconds), stamp_source
%                  ('kernel' or 'receiver') and counts
%     events       the marks made while recording (velto('mark')), read
%                  from the events file beside FILE (<base>_kivo_events.tsv):
%                  a structure array with onset (seconds from the first
%                  sample), duration, sample (the 0-based row of the whole
%                  file's samples: rec.samples(sample + 1, :) when every
%                  block is read), value, stamp (seconds since 1970) and
%                  text; NaN (or '') where the file says n/a; 0 x 1 without it
%     file, kind, nchans, nsamp, metadata (the decoded metadata file, or []),
%     first_block (number of the first block read), slots (slots read)
%
%   The fit comes from the metadata file. Without one there (a recording
%   that did not end normally, an older file), the stamps read are fitted by
%   velto's sample clock, the recorders' own (timing.stamp_source is then
%   empty); without velto on the path, time is NaN with a warning. kivorec's
%   files have no stamps: without the metadata's fit their time is NaN.
%
%   A file that ends with an incomplete block is read up to its last whole
%   slot, with a warning (not when the metadata says the recording ended so,
%   as velto's 'close' and kivorec's stop in the middle of a block do). Datagrams
%   of a wrong size counted in the metadata (metadata.wrong_size_datagrams)
%   are named in a warning as well.
%
%   Example: channel 1 against time
%     rec = kivo_read ('2015-03-07_14-05-09_kivo_samples.dat');
%     keep = ~isnan (rec.time);
%     plot (rec.time(keep) - rec.time(find (keep, 1)), rec.samples(keep, 1));
%
%   Works in GNU Octave (7 or later for the metadata file) and MATLAB
%   (R2016b or later).
%
%   See also VELTO.

  opts = parse_options (varargin);
  if (exist (file, 'file') ~= 2)
    error ('kivo_read:file', ['kivo_read: %s: no such file; check its folder and name ' ...
           '(a recording is named like 2015-03-07_14-05-09_kivo_samples.dat)'], file);
  end
  meta = read_metadata (file);
  [nchans, kind] = layout_of (file, opts, meta);
  [nsamp, datagram_bytes] = geometry (nchans, meta);
  stamp_bytes = 8 * ~strcmp (kind, 'recorder');
  slot_bytes = datagram_bytes + stamp_bytes;

  listing = dir (file);
  file_slots = floor (listing.bytes / slot_bytes);
  warn_if_wrong_size (file, meta, datagram_bytes);
  warn_if_cut (file, meta, file_slots, listing.bytes - file_slots * slot_bytes);
  [first, stop] = slot_range (file_slots, opts.blocks);
  % A stale slot repeats the slot two blocks before it: read those as well.
  context = min (first, 2000);
  bytes = read_slots (file, first - context, stop, slot_bytes);
  stale = stale_flags (bytes, kind, stamp_bytes);
  bytes = bytes(:, context + 1:end);

  rec = struct ('file', file, 'kind', kind, 'nchans', nchans, 'nsamp', nsamp);
  rec.metadata = meta;
  rec.first_block = floor (first / 1000) + 1;
  rec.slots = size (bytes, 2);
  if (stamp_bytes > 0)
    rec.stamps = little_endian (bytes(1:8, :), 'double');
  else
    rec.stamps = [];
  end
  s = stamp_bytes;
  rec.sequence_no = double (little_endian (bytes(s + 11:s + 12, :), 'uint16'));
  rec.header = bytes(s + 1:s + 10, :).';
  rec.samples = samples_of (bytes(s + 13:end, :), nchans, opts.native);
  rec.stale = stale(context + 1:end);
  [rec.time, rec.timing] = sample_times (file, rec, first, slot_bytes);
  rec.events = read_events (events_file_of (file));
end

% x/y_kivo_samples.dat and x/y_kivo_filtered_samples.dat -> x/y_kivo_events.tsv;
% another name loses its extension and gets _kivo_events.tsv.
function path = events_file_of (file)
  path = regexprep (file, '_kivo_(filtered_)?samples\.dat$', '_kivo_events.tsv');
  if (strcmp (path, file))
    [folder, name] = fileparts (file);
    path = fullfile (folder, [name '_kivo_events.tsv']);
  end
end

% The rows of the events file as a structure array (0 x 1 without the
% file): numbers NaN and text '' where the file says n/a.
function events = read_events (path)
  names = {'onset', 'duration', 'sample', 'value', 'stamp', 'text'};
  events = cell2struct (cell (numel (names), 0), names, 1);
  fid = fopen (path, 'r');
  if (fid < 0)
    return;
  end
  text = fread (fid, Inf, '*char').';
  fclose (fid);
  lines = regexp (text, '\r?\n', 'split');
  columns = strsplit (regexprep (lines{1}, '^\xEF\xBB\xBF', ''), sprintf ('\t'));
  for k = 2:numel (lines)
    if (isempty (lines{k}))
      continue;
    end
    fields = strsplit (lines{k}, sprintf ('\t'));
    e = struct ();
    for c = 1:numel (names)
      at = find (strcmp (columns, names{c}), 1);
      value = 'n/a';
      if (! isempty (at) && at <= numel (fields))
        value = fields{at};
      end
      if (strcmp (names{c}, 'text'))
        e.text = value;
        if (strcmp (value, 'n/a'))
          e.text = '';
        end
      elseif (strcmp (value, 'n/a'))
        e.(names{c}) = NaN;
      else
        e.(names{c}) = str2double (value);
      end
    end
    events(end + 1, 1) = e;
  end
end

function opts = parse_options (args)
  opts = struct ('channels', [], 'blocks', [], 'kind', '', 'native', false);
  if (~isempty (args) && isnumeric (args{1}))
    opts.channels = args{1};
    args = args(2:end);
  end
  if (mod (numel (args), 2) ~= 0)
    error ('kivo_read:usage', 'kivo_read: options come as name, value pairs');
  end
  for k = 1:2:numel (args)
    if (~ischar (args{k}) || ~isfield (opts, lower (args{k})))
      error ('kivo_read:usage', 'kivo_read: unknown option %s', num2str (args{k}));
    end
    name = lower (args{k});
    opts.(name) = args{k + 1};
  end
  if (~isempty (opts.channels) && ~(isscalar (opts.channels) && any (opts.channels == 1:16)))
    error ('kivo_read:usage', 'kivo_read: the channel count must be 1 to 16');
  end
  if (~isempty (opts.blocks) && ~(numel (opts.blocks) == 2 && opts.blocks(1) >= 1 ...
                                  && opts.blocks(2) >= opts.blocks(1) && all (opts.blocks == fix (opts.blocks))))
    error ('kivo_read:usage', 'kivo_read: blocks must be [FIRST LAST] with 1 <= FIRST <= LAST');
  end
  if (~isempty (opts.kind) && ~any (strcmp (opts.kind, {'raw', 'filtered', 'recorder'})))
    error ('kivo_read:usage', 'kivo_read: kind must be ''raw'', ''filtered'' or ''recorder''');
  end
end

function meta = read_metadata (file)
  meta = [];
  [folder, name, ext] = fileparts (file);
  if (strcmp (ext, '.dat'))
    json = fullfile (folder, [name '.json']);
  else
    json = [file '.json'];
  end
  if (exist (json, 'file') ~= 2 || ~(exist ('jsondecode') == 2 || exist ('jsondecode') == 5))
    return;
  end
  try
    meta = jsondecode (fileread (json));
  catch err
    warning ('kivo_read:metadata', 'kivo_read: %s cannot be read (%s); it is not used', json, err.message);
    meta = [];
  end
end

function [nchans, kind] = layout_of (file, opts, meta)
  nchans = opts.channels;
  kind = opts.kind;
  if (isempty (nchans))
    if (isempty (meta))
      error ('kivo_read:channels', ['kivo_read: %s has no metadata file; ' ...
             'give its channel count: kivo_read (file, nchans)'], file);
    end
    nchans = meta.nchans;
  elseif (~isempty (meta) && meta.nchans ~= nchans)
    warning ('kivo_read:channels', 'kivo_read: the metadata says %d channels; reading %d as asked', ...
             meta.nchans, nchans);
  end
  if (isempty (kind))
    if (~isempty (meta))
      kind = meta.kind;
    else
      kind = guess_kind (file, nchans);
    end
  end
end

% Without metadata: a filtered file by its name; otherwise raw when the first
% 8 bytes read as a receive time (1973 to 2286) or 0, else kivorec's.
function kind = guess_kind (file, nchans)
  kind = 'raw';
  n = numel (file);
  suffix = '_kivo_filtered_samples.dat';
  if (n >= numel (suffix) && strcmp (file(n - numel (suffix) + 1:end), suffix))
    kind = 'filtered';
    return;
  end
  [~, datagram_bytes] = geometry (nchans, []);
  first = read_slots (file, 0, 1, datagram_bytes + 8);
  if (isempty (first))
    return;
  end
  stamp = little_endian (first(1:8), 'double');
  if (~(stamp == 0 || (stamp >= 1e8 && stamp <= 1e10)))
    kind = 'recorder';
  end
end

% nsamp as the metadata states it for the channel count read; else as the
% device sends it, by floor(log2(nchans)) (files without metadata).
function [nsamp, datagram_bytes] = geometry (nchans, meta)
  if (~isempty (meta) && isfield (meta, 'nsamp') && meta.nchans == nchans)
    nsamp = meta.nsamp;
    if (~(isscalar (nsamp) && isnumeric (nsamp) && nsamp >= 1 && nsamp == fix (nsamp)))
      error ('kivo_read:metadata', 'kivo_read: the metadata''s nsamp must be a whole number from 1');
    end
  else
    lut = [500 250 125 86 43];
    nsamp = lut(floor (log2 (nchans)) + 1);
  end
  datagram_bytes = nchans * nsamp * 2 + 12;
end

function warn_if_cut (file, meta, file_slots, trailing)
  if (trailing == 0 && mod (file_slots, 1000) == 0)
    return;
  end
  if (~isempty (meta) && trailing == 0 && ~strcmp (meta.ended, 'running') && meta.slots_written == file_slots)
    return;
  end
  warning ('kivo_read:incomplete', ...
           'kivo_read: %s ends with an incomplete block: read up to its last whole slot (%d)', file, file_slots);
end

% Datagrams of another size than the channel count's: most likely the device
% sent another channel count, and the samples are read wrongly.
function warn_if_wrong_size (file, meta, datagram_bytes)
  if (isempty (meta) || ~isfield (meta, 'wrong_size_datagrams') || meta.wrong_size_datagrams == 0)
    return;
  end
  warning ('kivo_read:wrongsize', ['kivo_read: %s: %d datagram(s) arrived that were not of the %d bytes ' ...
           'expected for %d channels; check the channel count'], file, meta.wrong_size_datagrams, ...
           datagram_bytes, meta.nchans);
end

% Slots first to stop - 1 (from 0) of the requested blocks.
function [first, stop] = slot_range (file_slots, blocks)
  if (isempty (blocks))
    first = 0;
    stop = file_slots;
  else
    first = min ((blocks(1) - 1) * 1000, file_slots);
    stop = min (blocks(2) * 1000, file_slots);
  end
end

% Slots first to stop - 1 (from 0) as columns of bytes.
function bytes = read_slots (file, first, stop, slot_bytes)
  fid = fopen (file, 'r');
  if (fid < 0)
    error ('kivo_read:open', 'kivo_read: cannot open %s', file);
  end
  cleanup = onCleanup (@() fclose (fid));
  if (fseek (fid, first * slot_bytes, 'bof') ~= 0)
    error ('kivo_read:read', 'kivo_read: cannot seek in %s', file);
  end
  n = stop - first;
  bytes = fread (fid, [slot_bytes, n], 'uint8=>uint8');
  if (size (bytes, 2) ~= n)
    error ('kivo_read:read', 'kivo_read: %s is shorter than it was a moment ago', file);
  end
end

% Columns of little-endian bytes as values of CLASS, one row per column.
function values = little_endian (bytes, class_name)
  values = typecast (bytes(:), class_name);
  [~, ~, endian] = computer ();
  if (endian == 'B')
    values = swapbytes (values);
  end
  values = values(:);
end

function samples = samples_of (bytes, nchans, native)
  samples = reshape (little_endian (bytes, 'uint16'), nchans, []).';
  if (~native)
    samples = double (samples);
  end
end

% See the help text: repeats of an earlier slot, and slots never written.
function stale = stale_flags (bytes, kind, stamp_bytes)
  n = size (bytes, 2);
  stale = false (n, 1);
  if (n == 0)
    return;
  end
  if (strcmp (kind, 'filtered'))
    width = stamp_bytes + 12;
  else
    width = size (bytes, 1);
  end
  if (stamp_bytes > 0)
    keys = typecast (reshape (bytes(1:8, :), [], 1), 'uint64');
    zero = find (keys == 0);
    stale(zero) = ~any (bytes(1:width, zero), 1).';
    live = find (~stale);
    stamps = little_endian (bytes(1:8, live), 'double');
    if (all (diff (stamps) > 0))
      return;
    end
  else
    keys = uint64 (bytes(11, :).') + 256 * uint64 (bytes(12, :).');
  end
  live = find (~stale);
  [~, ~, j] = unique (keys(live));
  counts = accumarray (j(:), 1);
  candidates = live(counts(j) > 1);
  if (isempty (candidates))
    return;
  end
  [~, first] = unique (bytes(1:width, candidates).', 'rows', 'first');
  stale(candidates) = true;
  stale(candidates(first)) = false;
end

% The time of every row of samples: see the help text. Each slot's datagram
% is placed in the recording's numbering (sample k of datagram u is sample
% u * nsamp + k) and its samples looked up on the fit's segments.
function [time, timing] = sample_times (file, rec, first, slot_bytes)
  timing = [];
  if (~isempty (rec.metadata) && isfield (rec.metadata, 'timing'))
    timing = rec.metadata.timing;
  end
  fresh = ~rec.stale;
  first_samples = zeros (rec.slots, 1);
  placed = false (rec.slots, 1);
  if (strcmp (rec.kind, 'recorder'))
    if (~isempty (timing))
      anchors = [];
      if (isfield (rec.metadata, 'slot_anchors'))
        anchors = rec.metadata.slot_anchors;
      end
      numbers = sequence_numbers_from_start (file, first + rec.slots, slot_bytes);
      places = places_by_chain (numbers, anchors, rec.nsamp);
      first_samples = places(first + 1:end);
      placed = fresh;
    end
  elseif (isempty (timing))
    [timing, first_samples(fresh)] = fit_stamps (file, rec.nsamp, rec.sequence_no(fresh), rec.stamps(fresh));
    placed = fresh & ~isempty (timing);
  else
    [first_samples(fresh), placed(fresh)] = places_from_stamps (rec.sequence_no(fresh), rec.stamps(fresh), ...
                                                                timing.segments, rec.nsamp);
  end
  time = NaN (rec.slots * rec.nsamp, 1);
  if (~isempty (timing))
    time = times_of (first_samples, placed, timing.segments, rec.nsamp);
  end
end

% The segments' figures as columns; NaN where the fit has none.
function [firsts, lasts, t0s, rates] = segment_table (segments)
  k = numel (segments);
  firsts = zeros (k, 1);
  lasts = zeros (k, 1);
  t0s = NaN (k, 1);
  rates = NaN (k, 1);
  for i = 1:k
    if (iscell (segments))
      s = segments{i};
    else
      s = segments(i);
    end
    firsts(i) = s.first_sample;
    lasts(i) = s.last_sample;
    if (~isempty (s.t0))
      t0s(i) = s.t0;
    end
    if (~isempty (s.sample_rate))
      rates(i) = s.sample_rate;
    end
  end
end

% Each datagram's first sample from its number and stamp. On a segment's line
% the stamp says about which datagram it is; delays only add, so of the
% numbers with the datagram's low 16 bits, the one whose line time lies
% between a quarter of a wrap after the stamp and three quarters before it,
% inside the segment, nearest the stamp.
function [places, placed] = places_from_stamps (seq, stamps, segments, nsamp)
  [firsts, lasts, t0s, rates] = segment_table (segments);
  best = zeros (size (seq));
  distance = Inf (size (seq));
  usable = isfinite (stamps);
  for i = 1:numel (firsts)
    if (~(isfinite (t0s(i)) && isfinite (rates(i))))
      continue;
    end
    ahead = (stamps - t0s(i)) * (rates(i) / nsamp);
    ahead(~usable) = 0;
    u = seq + 65536 * floor ((ahead - seq - 16384) / 65536 + 0.5);
    d = abs (ahead - u);
    better = usable & u * nsamp >= firsts(i) & u * nsamp <= lasts(i) & d < distance;
    best(better) = u(better);
    distance(better) = d(better);
  end
  places = best * nsamp;
  placed = isfinite (distance);
end

% kivorec's files: each slot follows the one before it by its number's
% distance forward, or lies up to 64 numbers back; at each of the metadata's
% anchors [slot, first_sample] the chain starts afresh.
function places = places_by_chain (seq, anchors, nsamp)
  places = zeros (0, 1);
  if (isempty (seq))
    return;
  end
  step = mod (diff (seq), 65536);
  back = 65536 - step <= 64;
  step(back) = step(back) - 65536;
  u = [seq(1); seq(1) + cumsum(step)];
  correction = zeros (size (u));
  shift = 0;
  for i = 1:size (anchors, 1)
    slot = anchors(i, 1);
    if (slot >= numel (u))
      break;
    end
    wanted = anchors(i, 2) / nsamp - (u(slot + 1) + shift);
    correction(slot + 1) = correction(slot + 1) + wanted;
    shift = shift + wanted;
  end
  places = (u + cumsum (correction)) * nsamp;
end

% The time of every row: t0 + n / sample_rate on the segment that holds n.
function time = times_of (first_samples, placed, segments, nsamp)
  n = reshape (first_samples(:)' + (0:nsamp - 1)', [], 1);
  time = NaN (size (n));
  [firsts, lasts, t0s, rates] = segment_table (segments);
  if (isempty (firsts) || isempty (n))
    return;
  end
  [~, k] = histc (n, [firsts; Inf]);
  inside = repelem (placed(:), nsamp) & k > 0;
  k(~inside) = 1;
  inside = inside & n <= lasts(k);
  time(inside) = t0s(k(inside)) + n(inside) ./ rates(k(inside));
end

% The sample clock of velto (the recorders' own) over the stamps read.
function [timing, first_samples] = fit_stamps (file, nsamp, seq, stamps)
  timing = [];
  first_samples = zeros (size (seq));
  if (~any (exist ('velto') == [2 3]))
    warning ('kivo_read:timing', ['kivo_read: %s: its metadata holds no "timing", and fitting its stamps ' ...
             'needs velto (the MEX file beside kivo_read.m): time is NaN'], file);
    return;
  end
  [text, first_samples] = velto ('fit_sample_clock', nsamp, seq, stamps);
  timing = jsondecode (text);
  timing.stamp_source = [];  % the stamps do not say where they were taken
end

% The sequence numbers of slots 0 to stop - 1: kivorec's files are placed by a
% chain from their first slot.
function numbers = sequence_numbers_from_start (file, stop, slot_bytes)
  fid = fopen (file, 'r', 'ieee-le');
  if (fid < 0)
    error ('kivo_read:open', 'kivo_read: cannot open %s', file);
  end
  cleanup = onCleanup (@() fclose (fid));
  fseek (fid, 10, 'bof');
  numbers = fread (fid, stop, 'uint16=>double', slot_bytes - 2);
end
