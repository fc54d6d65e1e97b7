// POSIX realisation of the metadata file's system services.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kivo/block_file.h"
#include "kivo/metadata_platform.h"

namespace kivo {
namespace {

// Writes all of `contents` to `fd` and flushes it to the disk; 0 or errno.
int write_all_and_sync(int fd, const std::string& contents) {
  size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    done += static_cast<size_t>(n);
  }
  return ::fsync(fd) == 0 ? 0 : errno;
}

}  // namespace

int replace_file_atomically(const std::string& path, const std::string& contents) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = write_all_and_sync(fd, contents);
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return error;
  }
  // The rename is durable only once the folder is: before that, a power cut
  // may bring back the old file, or none.
  return flush_folder_of(path);
}

std::string host_name() {
  // 255 bytes and the terminator: the longest host name POSIX allows
  // (HOST_NAME_MAX is Linux's name for it; macOS has none).
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace kivo
