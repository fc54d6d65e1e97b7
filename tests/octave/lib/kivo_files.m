function names = kivo_files (folder, pattern)
  % Names of the files in FOLDER that match PATTERN (for example '*.dat'), sorted.
  listing = dir_listing (fullfile (folder, pattern));
  names = sort ({listing.name});
end

function listing = dir_listing (pattern)
  listing = dir (pattern);
  listing = listing(! [listing.isdir]);
end
