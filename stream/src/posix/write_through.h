// How a block reaches the disk itself, not only the drive's cache. CMake
// compiles write_through_linux.cpp or write_through_portable.cpp (macOS, and
// Linux with KIVO_PORTABLE_POSIX=ON).
#pragma once

namespace kivo {

// Called after each block appended to `fd`; where the file was opened
// write-through, what else makes the block reach the disk. 0, or the error
// that leaves the block not known to be on the disk.
int complete_write_through(int fd);

// Everything written to `fd` reaches the disk; 0 or the error.
int flush_to_drive(int fd);

}  // namespace kivo
