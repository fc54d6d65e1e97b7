// POSIX realisation of the mapped file: mmap of the whole file, with the
// kernel told that it is read from front to back.
#include <fcntl.h>
#include <unistd.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "mapped_file.h"

namespace kivo::inspect {

MappedFile::~MappedFile() { close(); }

std::string MappedFile::open(const std::string& path) {
  close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return std::strerror(error);
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    return "not a regular file";
  }
  const auto size = static_cast<size_t>(info.st_size);
  if (size == 0) {
    ::close(fd);
    return {};
  }
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int error = errno;
  ::close(fd);  // the mapping keeps the file
  if (mapped == MAP_FAILED) return std::strerror(error);
  ::madvise(mapped, size, MADV_SEQUENTIAL);
  data_ = static_cast<const uint8_t*>(mapped);
  size_ = size;
  return {};
}

void MappedFile::close() {
  if (data_ != nullptr) ::munmap(const_cast<uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace kivo::inspect
