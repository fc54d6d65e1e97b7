// A sample file written in whole blocks. Every write and the final close are
// checked; a block that cannot be written whole is taken back out of the file,
// so the file always holds a whole number of blocks and no block is shifted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo {

enum class FileMode {
  create_or_truncate,        // create, or empty a file of that name
  create_new,                // create only if absent; readable by others while it grows
  create_new_write_through,  // create only if absent; each write reaches the disk
};

class BlockFile {
 public:
  BlockFile() = default;
  ~BlockFile();
  BlockFile(BlockFile&& other) noexcept;
  BlockFile& operator=(BlockFile&& other) noexcept;
  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;

  // Returns 0 or the platform's error code; the object stays closed on error.
  int open(const std::string& path, FileMode mode);
  bool is_open() const;
  const std::string& path() const { return path_; }

  // Appends `size` bytes in one write (continued only if the system takes
  // part of it) and flushes. Returns 0, or the error code after truncating the
  // file back to its length before the call. A short write without an error
  // code (a full disk) reports ENOSPC's platform equivalent.
  int append(const uint8_t* data, size_t size);
  uint64_t bytes_written() const { return bytes_written_; }

  // Brings everything written so far to the disk (fsync) and returns 0 or
  // the error, which the close would not report: a write the system failed
  // to complete later (EIO, or ENOSPC on network and thin storage).
  int flush_to_disk();

  // Whether the open file still has a name in the file system: false once
  // it was deleted (its folder with it), when its blocks go with the close;
  // true when it was renamed or moved, and where the system cannot tell.
  bool has_name() const;

  // Closes the file; returns 0 or the error of the close. Safe when closed.
  int close();

 private:
  intptr_t handle_ = -1;
  std::string path_;
  uint64_t bytes_written_ = 0;
};

// Brings the folder holding `path` - the names created, renamed or removed
// in it - to the disk. Returns 0 or the error code; 0 where the platform's
// file system keeps its folders durable by itself (Windows).
int flush_folder_of(const std::string& path);

// The platform's text for an error code of the file layer.
std::string file_error_text(int code);

}  // namespace kivo
