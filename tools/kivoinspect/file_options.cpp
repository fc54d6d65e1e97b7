#include "file_options.h"

#include <cstdlib>

#include "kivo/geometry.h"

namespace kivo::inspect {
namespace {

std::optional<uint32_t> parse_channels(const std::string& text) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || !kivo::is_supported_channel_count(value)) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<kivo::FileKind> parse_kind(const std::string& text) {
  for (kivo::FileKind kind : {kivo::FileKind::raw, kivo::FileKind::filtered, kivo::FileKind::recorder}) {
    if (text == kivo::kind_name(kind)) return kind;
  }
  return std::nullopt;
}

}  // namespace

bool take_file_option(int argc, const char* const* argv, int& i, std::optional<uint32_t>& channels,
                      std::optional<kivo::FileKind>& kind, std::string& error) {
  const std::string arg = argv[i];
  const bool has_value = i + 1 < argc;
  if (arg == "--channels") {
    if (!has_value || !(channels = parse_channels(argv[++i])))
      error = "--channels needs a count from 1 to 16";
    return true;
  }
  if (arg == "--kind") {
    if (!has_value || !(kind = parse_kind(argv[++i]))) error = "--kind needs raw, filtered or recorder";
    return true;
  }
  return false;
}

}  // namespace kivo::inspect
