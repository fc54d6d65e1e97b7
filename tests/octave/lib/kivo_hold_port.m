function pid = kivo_hold_port (port, seconds)
  % Binds PORT without address reuse in a background process for SECONDS;
  % returns its process id. The port is held when this returns.
  flag = tempname ();
  cmd = sprintf (['python3 -c "import socket,time,sys; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); ' ...
                  's.bind((\\"\\", %d)); open(sys.argv[1], \\"w\\").close(); time.sleep(%g)" %s > /dev/null 2>&1 & echo $!'], ...
                 port, seconds, flag);
  [~, out] = system (cmd);
  pid = str2double (out);
  for k = 1:200
    if (exist (flag, 'file'))
      delete (flag);
      return;
    end
    pause (0.05);
  end
  error ('could not hold port %d', port);
end
