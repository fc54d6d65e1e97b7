// A sample file whose name (or folder) is removed while it is written takes
// its blocks with it when it is closed; the programs say so rather than leave
// the loss silent. Each words it in its own messages.
#pragma once

#include <cstdint>
#include <optional>

#include "kivo/block_file.h"

namespace kivo {

// The thread that owns `file`, before closing it: the whole blocks of
// `block_bytes` that it holds when it is open and its path no longer exists;
// nothing when it is closed, still in place, or when that cannot be told.
std::optional<uint64_t> blocks_lost_with_removed_file(const BlockFile& file, uint64_t block_bytes);

}  // namespace kivo
