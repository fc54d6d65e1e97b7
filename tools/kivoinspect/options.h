// kivoinspect's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kivo/metadata.h"

namespace kivo::inspect {

// Exit statuses.
inline constexpr int kConsistent = 0;    // consistent file; filter verified
inline constexpr int kInconsistent = 1;  // inconsistent file; filter not verified
inline constexpr int kUnusable = 2;      // bad command line, or a file that cannot be read

struct Options {
  bool json = false;
  bool help = false;
  bool version = false;
  std::optional<uint32_t> channels;
  std::optional<kivo::FileKind> kind;
  std::string file;  // the file to summarise
  std::string raw;   // --verify-filter RAW FILTERED
  std::string filtered;
  bool verify_filter() const { return !raw.empty(); }
};

struct ParsedOptions {
  Options options;
  std::string error;  // empty when the command line is good
};

ParsedOptions parse_options(int argc, const char* const* argv);
std::string usage_text();

}  // namespace kivo::inspect
