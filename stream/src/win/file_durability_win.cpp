// Windows realisation of bringing a sample file and its folder to the disk.
#include <windows.h>

#include "kivo/block_file.h"

namespace kivo {

int BlockFile::flush_to_disk() {
  if (handle_ == -1) return ERROR_INVALID_HANDLE;
  if (!FlushFileBuffers(reinterpret_cast<HANDLE>(handle_))) return static_cast<int>(GetLastError());
  return 0;
}

// NTFS journals its folders: a name created or renamed is durable once the
// system has acknowledged it, so there is nothing to flush.
int flush_folder_of(const std::string&) { return 0; }

}  // namespace kivo
