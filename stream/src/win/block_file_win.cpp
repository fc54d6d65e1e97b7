// Windows realisation of the block file: one Win32 file handle, WriteFile
// per block.
#include <windows.h>

#include <utility>

#include "kivo/block_file.h"
#include "win_error_text.h"

namespace kivo {
namespace {

constexpr intptr_t kClosed = -1;

HANDLE handle_of(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The largest piece handed to one WriteFile call (its length is 32 bits).
constexpr size_t kLargestWrite = size_t{1} << 30;

}  // namespace

BlockFile::~BlockFile() { close(); }

BlockFile::BlockFile(BlockFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kClosed)),
      path_(std::move(other.path_)),
      bytes_written_(other.bytes_written_) {}

BlockFile& BlockFile::operator=(BlockFile&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kClosed);
    path_ = std::move(other.path_);
    bytes_written_ = other.bytes_written_;
  }
  return *this;
}

int BlockFile::open(const std::string& path, FileMode mode) {
  close();
  path_ = path;
  bytes_written_ = 0;
  // The recorder's file: created only where none exists, every write through
  // to the disk, and nobody else may open it meanwhile. The plug-in's files:
  // readable by others while they grow.
  const bool recorder_file = mode == FileMode::create_new_write_through;
  const DWORD share = recorder_file ? 0 : FILE_SHARE_READ;
  const DWORD disposition = mode == FileMode::create_or_truncate ? CREATE_ALWAYS : CREATE_NEW;
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (recorder_file ? FILE_FLAG_WRITE_THROUGH : 0);
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, share, nullptr, disposition, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  handle_ = reinterpret_cast<intptr_t>(file);
  return 0;
}

bool BlockFile::is_open() const { return handle_ != kClosed; }

int BlockFile::append(const uint8_t* data, size_t size) {
  if (handle_ == kClosed) return ERROR_INVALID_HANDLE;
  const HANDLE file = handle_of(handle_);
  size_t done = 0;
  DWORD error = 0;
  while (done < size) {
    const size_t left = size - done;
    const DWORD chunk = static_cast<DWORD>(left < kLargestWrite ? left : kLargestWrite);
    DWORD written = 0;
    if (!WriteFile(file, data + done, chunk, &written, nullptr)) {
      error = GetLastError();
      break;
    }
    if (written == 0) {
      error = ERROR_DISK_FULL;
      break;
    }
    done += written;
  }
  if (error != 0) {
    // Take the partial block back out, so the blocks behind it stay aligned.
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(bytes_written_);
    if (SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) SetEndOfFile(file);
    return static_cast<int>(error);
  }
  bytes_written_ += size;
  return 0;
}

bool BlockFile::has_name() const {
  FILE_STANDARD_INFO info{};
  if (handle_ == kClosed ||
      !GetFileInformationByHandleEx(handle_of(handle_), FileStandardInfo, &info, sizeof info)) {
    return true;
  }
  return !info.DeletePending && info.NumberOfLinks > 0;
}

int BlockFile::close() {
  if (handle_ == kClosed) return 0;
  const HANDLE file = handle_of(std::exchange(handle_, kClosed));
  // What the system still holds for the file reaches the disk before the
  // close is reported as done; a failure here is a failed close.
  DWORD error = FlushFileBuffers(file) ? 0 : GetLastError();
  if (!CloseHandle(file) && error == 0) error = GetLastError();
  return static_cast<int>(error);
}

std::string file_error_text(int code) { return win::error_text(static_cast<unsigned long>(code)); }

}  // namespace kivo
