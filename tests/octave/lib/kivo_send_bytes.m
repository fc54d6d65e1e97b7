function kivo_send_bytes (port, bytes)
  % Sends the uint8 vector BYTES as one UDP datagram to 127.0.0.1:PORT.
  hex = sprintf ('%02x', uint8 (bytes));
  cmd = sprintf (['python3 -c "import socket,sys; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); ' ...
                  's.sendto(bytes.fromhex(sys.argv[1]), (\\"127.0.0.1\\", %d))" %s'], port, hex);
  [status, out] = system (cmd);
  if (status != 0)
    error ('sending a datagram failed: %s', out);
  end
end
