function [ok, slots, why] = kivo_rel_stream_ok (file, first)
  % Whether the sample FILE holds the datagrams numbered FIRST, FIRST+1, ...
  % once each and in order (read with kivo_read; fewer than 65536 slots).
  % Returns the number of slots and, when not, what is wrong.
  here = fileparts (mfilename ('fullpath'));
  addpath (fullfile (here, '..', '..', 'matlab'));
  rec = kivo_read (file);
  slots = rec.slots;
  want = mod ((first:first + slots - 1)', 65536);
  why = '';
  bad = find (rec.sequence_no != want, 1);
  if (! isempty (bad))
    why = sprintf ('slot %d holds sequence number %d, expected %d', bad - 1, rec.sequence_no(bad), want(bad));
  end
  ok = isempty (why);
end
