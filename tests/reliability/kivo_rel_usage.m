function u = kivo_rel_usage ()
  % This process's open file descriptors, threads and resident memory (KiB).
  u.fds = numel (readdir ('/proc/self/fd')) - 2;
  u.threads = numel (readdir ('/proc/self/task')) - 2;
  status = fileread ('/proc/self/status');
  u.rss_kib = str2double (regexp (status, 'VmRSS:\s*(\d+)', 'tokens', 'once'){1});
end
