function port = kivo_port (k)
  % UDP port number K (0 to 9) of those CTest reserved for this test.
  base = str2double (getenv ('KIVO_TEST_PORT'));
  port = base + k;
end
