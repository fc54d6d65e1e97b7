function dir = kivo_tmpdir (name)
  % A fresh, empty folder for one case of the test.
  dir = fullfile (getenv ('KIVO_TEST_TMP'), name);
  if (exist (dir, 'dir'))
    confirm_recursive_rmdir (false);
    rmdir (dir, 's');
  end
  mkdir (dir);
end
