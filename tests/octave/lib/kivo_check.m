function kivo_check (condition, label, varargin)
  % Counts a failed check and prints it; LABEL may be a printf format. The
  % count lives in the environment, so that 'clear all' in a test keeps it.
  if (! (islogical (condition) || isnumeric (condition)) || isempty (condition) || ! all (condition(:)))
    setenv ('KIVO_FAILURES', num2str (kivo_failure_count () + 1));
    printf (['FAILED: ' label '\n'], varargin{:});
  end
end
