// kivoexport's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kivo/metadata.h"

namespace kivo::exporter {

// Exit statuses.
inline constexpr int kExported = 0;     // the three files were written
inline constexpr int kNotExported = 1;  // the recording or its events file cannot be exported
inline constexpr int kBadCommandLine = 2;
inline constexpr int kNotWritten = 3;  // the output could not be written; nothing was left behind

struct Options {
  bool help = false;
  bool version = false;
  std::string file;
  std::string out_dir;  // empty: beside the file
  std::optional<double> sample_rate;
  std::optional<uint32_t> channels;
  std::optional<kivo::FileKind> kind;
};

struct ParsedOptions {
  Options options;
  std::string error;  // empty when the command line is good
};

ParsedOptions parse_options(int argc, const char* const* argv);
std::string usage_text();

}  // namespace kivo::exporter
