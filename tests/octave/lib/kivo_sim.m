function out = kivo_sim (port, varargin)
  % Runs kivosim to 127.0.0.1:PORT with the given options and waits for it
  % to finish; returns what it printed. Fails the test if it fails.
  args = sprintf (' %s', varargin{:});
  cmd = sprintf ('"%s" --host 127.0.0.1 --port %d --quiet%s 2>&1', getenv ('KIVOSIM'), port, args);
  [status, out] = system (cmd);
  if (status != 0)
    error ('kivosim failed (%d): %s', status, out);
  end
end
