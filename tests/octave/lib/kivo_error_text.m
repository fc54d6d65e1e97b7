function text = kivo_error_text (err)
  % The message the plug-in raised: Octave puts the function's name in
  % front of a MEX error ("velto: velto: unknown command"); MATLAB does not.
  text = err.message;
  prefix = 'velto: ';
  if (strncmp (text, prefix, numel (prefix)))
    text = text(numel (prefix) + 1:end);
  end
end
