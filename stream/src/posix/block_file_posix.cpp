// POSIX realisation of the block file: one descriptor, write(2) per block.
#include <fcntl.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "kivo/block_file.h"
#include "write_through.h"

namespace kivo {
namespace {

int fd_of(intptr_t handle) { return static_cast<int>(handle); }

int open_flags(FileMode mode) {
  switch (mode) {
    case FileMode::create_new_write_through: return O_WRONLY | O_CREAT | O_EXCL | O_DSYNC | O_CLOEXEC;
    case FileMode::create_new: return O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    case FileMode::create_or_truncate: break;
  }
  return O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
}

}  // namespace

BlockFile::~BlockFile() { close(); }

BlockFile::BlockFile(BlockFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      path_(std::move(other.path_)),
      bytes_written_(other.bytes_written_) {}

BlockFile& BlockFile::operator=(BlockFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    path_ = std::move(other.path_);
    bytes_written_ = other.bytes_written_;
  }
  return *this;
}

int BlockFile::open(const std::string& path, FileMode mode) {
  close();
  path_ = path;
  bytes_written_ = 0;
  const int fd = ::open(path.c_str(), open_flags(mode), 0644);
  if (fd < 0) return errno;
  handle_ = fd;
  return 0;
}

bool BlockFile::is_open() const { return handle_ >= 0; }

int BlockFile::append(const uint8_t* data, size_t size) {
  const int fd = fd_of(handle_);
  if (fd < 0) return EBADF;
  size_t done = 0;
  int error = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
  }
  if (error == 0) error = complete_write_through(fd);
  if (error != 0) {
    // Take the partial block back out, so the blocks behind it stay aligned.
    if (::ftruncate(fd, static_cast<off_t>(bytes_written_)) == 0) {
      ::lseek(fd, static_cast<off_t>(bytes_written_), SEEK_SET);
    }
    return error;
  }
  bytes_written_ += size;
  return 0;
}

bool BlockFile::has_name() const {
  struct stat status {};
  if (handle_ < 0 || ::fstat(fd_of(handle_), &status) != 0) return true;
  return status.st_nlink > 0;
}

int BlockFile::close() {
  if (handle_ < 0) return 0;
  const int result = ::close(fd_of(handle_));
  handle_ = -1;
  return result == 0 ? 0 : errno;
}

std::string file_error_text(int code) { return std::system_category().message(code); }

}  // namespace kivo
