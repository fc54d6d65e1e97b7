// The options that say how to read a sample file without its metadata,
// --channels N and --kind K, as kivoinspect and kivoexport both take them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kivo/metadata.h"

namespace kivo::inspect {

// Takes argv[i], and its value after it, when it is --channels or --kind:
// true when taken (i then names the value), with `error` set when the value
// is missing or not one the option takes.
bool take_file_option(int argc, const char* const* argv, int& i, std::optional<uint32_t>& channels,
                      std::optional<kivo::FileKind>& kind, std::string& error);

}  // namespace kivo::inspect
