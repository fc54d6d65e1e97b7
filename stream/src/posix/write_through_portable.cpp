// Portable POSIX (macOS): O_DSYNC hands the block to the drive, whose cache
// may still hold it; F_FULLFSYNC asks the drive to write its cache out. Where
// F_FULLFSYNC is unknown (Linux running this code) or refused (some network
// file systems), fsync is the strongest request there is.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "write_through.h"

namespace kivo {

int complete_write_through(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  if ((flags & O_DSYNC) == 0) return 0;  // a file without the promise
#ifdef F_FULLFSYNC
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return ::fsync(fd) == 0 ? 0 : errno;
}

}  // namespace kivo
