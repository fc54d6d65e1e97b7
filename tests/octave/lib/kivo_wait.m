function s = kivo_wait (condition, seconds)
  % Polls velto('status') until CONDITION (a function of the status) holds
  % or SECONDS pass; returns the last status.
  if (nargin < 2)
    seconds = 30;
  end
  t0 = tic ();
  s = velto ('status');
  while (! condition (s) && toc (t0) < seconds)
    pause (0.02);
    s = velto ('status');
  end
end
