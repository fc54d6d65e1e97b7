// POSIX realisation of bringing a sample file and its folder to the disk.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kivo/block_file.h"

namespace kivo {

int BlockFile::flush_to_disk() {
  if (handle_ < 0) return EBADF;
  while (::fsync(static_cast<int>(handle_)) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int flush_folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = 0;
  while (::fsync(fd) != 0) {
    if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  ::close(fd);
  return error;
}

}  // namespace kivo
