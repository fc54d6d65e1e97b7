function test_velto_random_calls ()
  % Calls velto thousands of times with random arguments: every class, empty
  % and huge arrays, NaN, Inf, negative and fractional numbers, complex,
  % sparse, logical, cell, struct, function handles, odd strings, wrong
  % counts of inputs and outputs. The host must never crash, and every error
  % must be velto's own ("velto: ..."), one of the set-up messages, or the
  % host's own complaint about an output that velto does not give. An 'open'
  % that can succeed gets a port of 47600-47699 and a folder of the test's
  % own, and is closed again.
  calls = str2double (getenv ('KIVO_RANDOM_CALLS'));
  if (isnan (calls))
    calls = 3000;
  end
  seed = str2double (getenv ('KIVO_RANDOM_SEED'));
  if (isnan (seed))
    seed = 20240607;
  end
  rand ('twister', seed);
  randn ('twister', seed);
  root = kivo_tmpdir ('calls');
  trace = fullfile (getenv ('KIVO_TEST_TMP'), 'last_call.txt');
  n = struct ('ok', 0, 'velto', 0, 'setup', 0, 'host', 0, 'opened', 0);
  for k = 1:calls
    [args, nout] = random_call (root);
    note_call (trace, k, args, nout);
    try
      call_velto (args, nout);
      n.ok += 1;
      if (is_open ())
        n.opened += 1;
        use_and_close ();
      end
    catch err
      kind = classify (err, nout);
      if (isempty (kind))
        kivo_check (false, 'call %d (%s, %d outputs): unexpected error "%s"', k, describe (args), nout, err.message);
      else
        n.(kind) += 1;
      end
    end
  end
  velto ('close');
  printf ('%d calls (seed %d): %d returned, %d velto errors, %d set-up errors, %d host output errors; %d acquisitions opened and closed\n', ...
          calls, seed, n.ok, n.velto, n.setup, n.host, n.opened);
  kivo_check (n.opened > calls / 50, 'too few acquisitions opened (%d)', n.opened);
  kivo_check (n.velto > calls / 4, 'too few velto errors (%d)', n.velto);
end

function call_velto (args, nout)
  switch (nout)
    case 0
      velto (args{:});
    case 1
      a = velto (args{:});
    otherwise
      out = cell (1, nout);
      [out{:}] = velto (args{:});
  end
end

function yes = is_open ()
  s = velto ('status');
  yes = s.running;
end

% A little traffic-free use of an open acquisition, then 'close'.
function use_and_close ()
  for k = 1:randi (5)
    d = velto ('read');
    s = velto ('status');
  end
  velto ('close');
end

% '' when the error is not allowed; else the name of its counter.
function kind = classify (err, nout)
  kind = '';
  text = kivo_error_text (err);
  setup = {'Could not create socket', 'setsockopt', 'Could not spawn off pthread', ...
           'Could not spawn off file saving pthread'};
  host = {'element number 2 undefined in return list', 'value on right hand side of assignment is undefined', ...
          'velto: function called with too many outputs'};
  if (strncmp (text, 'velto: ', 7))
    kind = 'velto';
  elseif (any (strcmp (text, setup)) || strncmp (text, 'bind - ', 7))
    kind = 'setup';
  elseif (nout >= 1 && ! strncmp (err.message, 'velto: ', 7) && any (strcmp (err.message, host)))
    kind = 'host';
  elseif (nout >= 1 && ! strncmp (err.message, 'velto: ', 7) && ! isempty (regexp (err.message, '^element number \d+ undefined in return list$', 'once')))
    kind = 'host';
  end
end

% ---- random calls ----

function [args, nout] = random_call (root)
  words = {'open', 'open', 'open', 'read', 'close', 'version', 'status'};
  r = rand ();
  if (r < 0.03)
    args = {};
  elseif (r < 0.25)
    args = {random_value()};
  else
    word = words{randi (numel (words))};
    switch (word)
      case 'open'
        args = open_args (root);
      otherwise
        args = [{word}, random_values(random_count (0.7))];
    end
  end
  nout = random_count (0.6);
end

% 'open' with the right count of inputs more often than not.
function args = open_args (root)
  counts = [4 6 4 6 4 6 0 1 2 3 5 7 8];
  n = counts(randi (numel (counts)));
  args = [{'open'}, random_values(n - 1)];
  if (n >= 2)
    args{2} = tame_port (pick (args{2}, 0.8, @() 47600 + randi (100) - 1));
  end
  if (n >= 3)
    args{3} = pick (args{3}, 0.8, @() randi (16) + 0.9 * rand ());
  end
  if (n >= 4)
    args{4} = tame_folder (pick (args{4}, 0.85, @() random_text ()), root);
  end
  if (n >= 6)
    args{5} = pick (args{5}, 0.8, @() randn (1, 5));
    args{6} = pick (args{6}, 0.8, @() [1, randn(1, 4) / 10]);
  end
end

function v = pick (v, p, make)
  if (rand () < p)
    v = make ();
  end
end

% Any port that velto could bind (a real, full, non-empty numeric array
% whose first element is 1 to 65535) is moved into 47600-47699.
function v = tame_port (v)
  if (! isnumeric (v) || ! isreal (v) || issparse (v) || isempty (v))
    return;
  end
  first = double (v(1));
  if (! (first >= 1 && first < 65536))
    return;
  end
  port = 47600 + randi (100) - 1;
  if (intmax (class_or_double (v)) >= port)
    v(1) = port;
  else
    v(1) = 0;  % a class too narrow for the test's ports: refused as a port
  end
end

function c = class_or_double (v)
  c = class (v);
  if (any (strcmp (c, {'double', 'single'})))
    c = 'int32';
  end
end

% A text folder becomes a folder under the test's own, with no way out of it.
function v = tame_folder (v, root)
  if (ischar (v))
    text = v(:)';
    text(text == '/' | text == '.' | text == '\') = '_';
    v = [root '/' text];
  end
end

function n = random_count (p_small)
  if (rand () < p_small)
    n = randi ([0 2]);
  else
    n = randi ([3 9]);
  end
end

function vs = random_values (n)
  vs = cell (1, n);
  for k = 1:n
    vs{k} = random_value ();
  end
end

function v = random_value ()
  kinds = {@random_number, @random_number, @random_text, @random_text, @random_integer, ...
           @random_other, @random_empty, @random_special};
  v = kinds{randi (numel (kinds))}();
end

function v = random_number ()
  sizes = {[1 1], [1 1], [1 5], [5 1], [2 3], [1 0], [3 3 2]};
  v = (rand (sizes{randi (numel (sizes))}) - 0.3) * 10 ^ randi ([0 6]);
  if (rand () < 0.3)
    v = fix (v);
  end
  if (rand () < 0.1)
    v = single (v);
  end
end

function v = random_integer ()
  classes = {'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64', 'uint64'};
  c = classes{randi (numel (classes))};
  v = cast (randi ([-1000 70000], 1, randi (6)), c);
end

function v = random_text ()
  texts = {'open', 'read', 'close', 'version', 'status', 'OPEN', 'opened', 'read ', ' close', '', ...
           char([111 0 112]), char(200:215), 'velto', repmat('x', 1, 600), ['op'; 'en'], transpose('open'), ...
           sprintf('a\nb\tc'), '%s%d%n', char(randi([1 255], 1, randi(40)))};
  v = texts{randi (numel (texts))};
end

function v = random_special ()
  specials = {NaN, Inf, -Inf, -1, 0, 0.5, -0.5, 1e300, -1e300, realmax, realmin, eps, ...
              1 + 2i, complex(5, 0), [NaN 5], [Inf 8], 65536, 70000, 4464.9, 2 ^ 31, -2 ^ 31, 2 ^ 64, ...
              16.9, 17, 0.99, single(NaN), int8(-128), uint64(18446744073709551615)};
  v = specials{randi (numel (specials))};
end

function v = random_empty ()
  empties = {[], zeros(0, 3), '', cell(0), struct([]), int8([]), single([]), false(0, 1), sparse([]), {}};
  v = empties{randi (numel (empties))};
end

function v = random_other ()
  r = randi (12);
  switch (r)
    case 1, v = true;
    case 2, v = logical ([1 0 1 1 0]);
    case 3, v = sparse ([0 47600 0]);
    case 4, v = {47600, 8, 'x'};
    case 5, v = struct ('port', 47600);
    case 6, v = @sin;
    case 7, v = @() velto ('version');
    case 8, v = (1:5) + 1i;
    case 9
      if (rand () < 0.2)
        v = zeros (1, 2e7);   % 160 MB
      else
        v = zeros (1, 1e5);
      end
    case 10
      if (rand () < 0.2)
        v = repmat ('open', 1, 2.5e6);   % 10 M characters
      else
        v = repmat ('a', 1, 5000);
      end
    case 11, v = ones (2, 2, 2, 'uint16');
    otherwise, v = struct ('a', {1, 2, 3});
  end
end

% ---- tracing ----

function note_call (trace, k, args, nout)
  f = fopen (trace, 'w');
  if (f >= 0)
    fprintf (f, 'call %d: velto(%s) with %d outputs\n', k, describe (args), nout);
    fclose (f);
  end
end

function text = describe (args)
  parts = cellfun (@describe_one, args, 'UniformOutput', false);
  text = strjoin (parts, ', ');
end

function text = describe_one (v)
  sz = sprintf ('%dx', size (v));
  text = sprintf ('<%s %s>', class (v), sz(1:end-1));
  if (ischar (v) && numel (v) < 40)
    text = sprintf ('''%s''', v(:)');
  elseif (isnumeric (v) && isscalar (v))
    text = sprintf ('%s(%g)', class (v), double (real (v)));
  end
end
