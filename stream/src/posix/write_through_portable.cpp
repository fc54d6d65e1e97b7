// Portable POSIX (macOS): O_DSYNC, and fsync too, hand the block to the
// drive, whose cache may still hold it; F_FULLFSYNC asks the drive to write
// its cache out. Where F_FULLFSYNC is unknown (Linux running this code) or
// refused (some network file systems), fsync is the strongest request there is.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "write_through.h"

namespace kivo {

int complete_write_through(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  if ((flags & O_DSYNC) == 0) return 0;  // a file without the promise
  return flush_to_drive(fd);
}

int flush_to_drive(int fd) {
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace kivo
