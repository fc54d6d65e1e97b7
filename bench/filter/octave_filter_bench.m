function octave_filter_bench (folder, channel_counts, blocks, reps)
  % Times Octave's filter() in single precision on the samples that
  % filter_bench wrote to FOLDER (samples_<nchans>.u16: BLOCKS blocks of
  % nsamp*1000 time steps of nchans little-endian uint16 values each), one
  % block per call with the state carried on, as the save thread filters.
  % Prints one line per channel count:
  %   octave <nchans> <best seconds per block> <median seconds per block>
  [b, a] = bench_coefficients ();
  for nchans = channel_counts
    fid = fopen (fullfile (folder, sprintf ('samples_%d.u16', nchans)), 'r', 'ieee-le');
    x = fread (fid, [nchans, Inf], 'uint16=>single')';
    fclose (fid);
    rows_per_block = rows (x) / blocks;
    zf = zeros (4, nchans, 'single');
    [~, zf] = filter (b, a, x(1:rows_per_block, :), zf);  % warm-up
    times = zeros (1, reps * blocks);
    for r = 1:reps
      for k = 1:blocks
        block = x((k - 1) * rows_per_block + 1:k * rows_per_block, :);
        t0 = tic ();
        [y, zf] = filter (b, a, block, zf);
        times((r - 1) * blocks + k) = toc (t0);
      end
    end
    if (! strcmp (class (y), 'single'))
      error ('filter() did not compute in single precision');
    end
    printf ('octave %d %.9f %.9f\n', nchans, min (times), median (times));
  end
end

function [b, a] = bench_coefficients ()
  % butter(2, [0.05 0.25]), the band filter that filter_bench uses.
  b = single ([0.067455273889071923 0 -0.13491054777814385 0 0.067455273889071923]);
  a = single ([1 -2.9445317761650216 3.3862060444122672 -1.8442867368325571 0.4128015980961886]);
end
