function kivo_run_test (name)
  % Runs the test function NAME with the built plug-in on the path, prints
  % "ALL PASSED" or the failures, and ends Octave with status 0, or 1 when a
  % check failed or the test raised an error: CTest judges by the status.
  addpath (getenv ('VELTO_DIR'));
  setenv ('KIVO_FAILURES', '0');
  tmp = getenv ('KIVO_TEST_TMP');
  if (! isempty (tmp))
    confirm_recursive_rmdir (false);
    if (exist (tmp, 'dir'))
      rmdir (tmp, 's');
    end
    mkdir (tmp);
  end
  try
    feval (name);
  catch err
    setenv ('KIVO_FAILURES', num2str (kivo_failure_count () + 1));
    printf ('FAILED: %s raised "%s"\n', name, err.message);
    for k = 1:numel (err.stack)
      printf ('    at %s line %d\n', err.stack(k).name, err.stack(k).line);
    end
  end
  try
    velto ('close');
  catch
  end
  if (kivo_failure_count () == 0)
    printf ('ALL PASSED\n');
    exit (0);
  else
    printf ('%d check(s) failed\n', kivo_failure_count ());
    exit (1);
  end
end
