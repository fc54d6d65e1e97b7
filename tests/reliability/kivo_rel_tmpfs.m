function [ok, why] = kivo_rel_tmpfs (dir, bytes)
  % Mounts a tmpfs of BYTES at DIR (made here). Needs root; returns false
  % and the reason when it cannot.
  why = '';
  [~, uid] = system ('id -u');
  if (str2double (uid) != 0)
    ok = false;
    why = 'mounting a tmpfs needs root';
    return;
  end
  if (! exist (dir, 'dir'))
    mkdir (dir);
  end
  [status, out] = system (sprintf ('mount -t tmpfs -o size=%d,mode=0755 tmpfs "%s" 2>&1', bytes, dir));
  ok = status == 0;
  if (! ok)
    why = ['cannot mount a tmpfs: ' strtrim(out)];
  end
end
