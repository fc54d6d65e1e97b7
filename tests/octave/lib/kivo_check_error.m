function kivo_check_error (call, expected, label)
  % Checks that CALL (a function handle) raises exactly the message
  % EXPECTED, as the plug-in threw it (without the host's own prefix).
  try
    call ();
    kivo_check (false, '%s: no error (expected "%s")', label, expected);
  catch err
    got = kivo_error_text (err);
    kivo_check (strcmp (got, expected), '%s: got "%s", expected "%s"', label, got, expected);
  end
end
