// Windows realisation of the metadata file's system services.
#include <windows.h>

#include <climits>

#include "kivo/metadata_platform.h"

namespace kivo {
namespace {

// Writes all of `contents` to `file` and flushes it to the disk; 0 or the
// system's error code.
DWORD write_all_and_flush(HANDLE file, const std::string& contents) {
  size_t done = 0;
  while (done < contents.size()) {
    const size_t left = contents.size() - done;
    const DWORD chunk = left > (1U << 30) ? (1U << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(file, contents.data() + done, chunk, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_DISK_FULL;
    done += written;
  }
  return FlushFileBuffers(file) ? 0 : GetLastError();
}

}  // namespace

int replace_file_atomically(const std::string& path, const std::string& contents) {
  const std::string temporary = path + ".tmp";
  const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
  DWORD error = write_all_and_flush(file, contents);
  if (!CloseHandle(file) && error == 0) error = GetLastError();
  if (error == 0 &&
      !MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != 0) DeleteFileA(temporary.c_str());
  return static_cast<int>(error);
}

std::string host_name() {
  char name[256] = {};
  DWORD size = sizeof name;
  if (GetComputerNameExA(ComputerNameDnsHostname, name, &size)) return std::string(name, size);
  size = sizeof name;
  if (GetComputerNameA(name, &size)) return std::string(name, size);
  return {};
}

}  // namespace kivo
