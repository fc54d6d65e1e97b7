% kivo::pattern_sample for every time step of the datagrams numbered SEQ:
% rows datagram by datagram, NSAMP time steps each; one column per channel.
% No product exceeds 2^32.
function values = kivo_pattern (seq, nsamp, nchans)
  s = repelem (seq(:), nsamp);
  t = repmat ((0:nsamp - 1)', numel (seq), 1);
  x = s * 40503 + (0:nchans - 1) * 9973 + t * 131;
  values = mod (bitxor (x, floor (x / 2048)), 65536);
end
