// A whole file mapped read-only into memory, so that a recording of any size
// is read at the speed of the disk without copying it. Realised per platform
// in <platform>/mapped_file_<platform>.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo::inspect {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the file at `path` for sequential reading. Returns an empty string,
  // or what went wrong. An empty file maps to no bytes.
  std::string open(const std::string& path);

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  void close();

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace kivo::inspect
