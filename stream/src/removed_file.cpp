#include "kivo/removed_file.h"

#include <filesystem>
#include <system_error>

namespace kivo {

std::optional<uint64_t> blocks_lost_with_removed_file(const BlockFile& file, uint64_t block_bytes) {
  if (!file.is_open()) return std::nullopt;
  std::error_code error;
  if (std::filesystem::exists(file.path(), error) || error) return std::nullopt;
  return file.bytes_written() / (block_bytes > 0 ? block_bytes : 1);
}

}  // namespace kivo
