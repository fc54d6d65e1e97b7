// Where a block file was opened write-through, what else makes an appended
// block reach the disk. CMake compiles write_through_linux.cpp or
// write_through_portable.cpp (macOS, and Linux with KIVO_PORTABLE_POSIX=ON).
#pragma once

namespace kivo {

// Called after each block appended to `fd`; 0, or the error that leaves the
// block not known to be on the disk.
int complete_write_through(int fd);

}  // namespace kivo
