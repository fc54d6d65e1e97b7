function test_gateway ()
  % The command gateway: messages, matching of the command word, 'version',
  % 'close' without 'open', and 'read' before anything was opened.
  usage = 'velto: invalid usage, 1st argument must be a string.';
  kivo_check_error (@() velto (), usage, 'no input');
  kivo_check_error (@() velto (5), usage, 'number');
  kivo_check_error (@() velto ({'open'}), usage, 'cell');
  unknown = 'velto: unknown command';
  for word = {'OPEN', 'opened', 'read ', '', 'Close', ' version', 'stat'}
    kivo_check_error (@() velto (word{1}), unknown, sprintf ('word "%s"', word{1}));
  end

  expected = getenv ('KIVO_VERSION');
  line = sprintf ('Kivo MEX version %s\n', expected);
  printed = evalc ('v = velto (''version'');');
  kivo_check (strcmp (printed, line), 'version line: "%s"', printed);
  kivo_check (isequal (v, str2double (strsplit (expected, '.'))) && isa (v, 'double') && isequal (size (v), [1 3]), ...
              'version row');
  printed = evalc ('velto (''version'', 7)');
  kivo_check (strcmp (printed, line), 'version ignores arguments');

  d = velto ('read');
  kivo_check (isa (d, 'double') && isequal (size (d), [0 0]), 'read before open is []');
  velto ('close');
  velto ('close');
  d = velto ('read');
  kivo_check (isequal (size (d), [0 0]), 'read after close is []');

  % A handler's error reaches the caller exactly as thrown.
  kivo_check_error (@() velto ('open'), ...
    'velto: velto(''open'', port, nchans, savedir) or velto(''open'', port, nchans, savedir, b, a)', ...
    'open with one input');
end
