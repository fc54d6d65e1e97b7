// Windows realisation of the mapped file: a read-only view of the whole
// file, opened for sequential reading. Others may go on writing the file.
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "mapped_file.h"

namespace kivo::inspect {
namespace {

std::string error_text(DWORD code) {
  char buffer[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
  while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n' ||
                        buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
    --length;
  }
  if (length > 0) return std::string(buffer, length);
  char number[32];
  std::snprintf(number, sizeof number, "error %lu", code);
  return number;
}

// Closes a handle when it goes out of scope; the view keeps what it needs.
struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

}  // namespace

MappedFile::~MappedFile() { close(); }

std::string MappedFile::open(const std::string& path) {
  close();
  const HandleCloser file{CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
  if (file.handle == INVALID_HANDLE_VALUE) return error_text(GetLastError());
  if (GetFileType(file.handle) != FILE_TYPE_DISK) return "not a regular file";
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(file.handle, &length)) return error_text(GetLastError());
  if (length.QuadPart == 0) return {};
  if (static_cast<uint64_t>(length.QuadPart) > SIZE_MAX) return "too large to map in a 32-bit program";
  const HandleCloser mapping{CreateFileMappingA(file.handle, nullptr, PAGE_READONLY, 0, 0, nullptr)};
  if (mapping.handle == nullptr) return error_text(GetLastError());
  const void* view = MapViewOfFile(mapping.handle, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) return error_text(GetLastError());
  data_ = static_cast<const uint8_t*>(view);
  size_ = static_cast<size_t>(length.QuadPart);
  return {};
}

void MappedFile::close() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace kivo::inspect
