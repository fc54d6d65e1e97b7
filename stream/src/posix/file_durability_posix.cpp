// POSIX realisation of bringing a sample file (as write-through does, see
// write_through.h) and its folder to the disk.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kivo/block_file.h"
#include "write_through.h"

namespace kivo {

int BlockFile::flush_to_disk() {
  if (handle_ < 0) return EBADF;
  return flush_to_drive(static_cast<int>(handle_));
}

int flush_folder_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int error = flush_to_drive(fd);
  ::close(fd);
  return error;
}

}  // namespace kivo
