function n = kivo_failure_count ()
  % The number of failed checks so far in this test.
  n = str2double (getenv ('KIVO_FAILURES'));
  if (isnan (n))
    n = 0;
  end
end
