function kivo_check (condition, label, varargin)
  % Counts a failed check and prints it; LABEL may be a printf format.
  global kivo_failures;
  if (! (islogical (condition) || isnumeric (condition)) || isempty (condition) || ! all (condition(:)))
    kivo_failures = kivo_failures + 1;
    printf (['FAILED: ' label '\n'], varargin{:});
  end
end
