#include "options.h"

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

ParsedOptions parse_options(int argc, const char* const* argv) {
  ParsedOptions parsed;
  Options& o = parsed.options;
  auto fail = [&parsed](const std::string& error) {
    parsed.error = error;
    return parsed;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--json") {
      o.json = true;
    } else if (arg == "--channels") {
      if (!has_value || !(o.channels = parse_channels(argv[++i])))
        return fail("--channels needs a count from 1 to 16");
    } else if (arg == "--kind") {
      if (!has_value || !(o.kind = parse_kind(argv[++i])))
        return fail("--kind needs raw, filtered or recorder");
    } else if (arg == "--verify-filter") {
      if (i + 2 >= argc) return fail("--verify-filter needs the raw and the filtered file");
      o.raw = argv[++i];
      o.filtered = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return fail("unknown option " + arg);
    } else if (o.file.empty()) {
      o.file = arg;
    } else {
      return fail("one file at a time");
    }
  }
  if (o.help || o.version) return parsed;
  if (o.verify_filter() && !o.file.empty()) return fail("give either a file or --verify-filter RAW FILTERED");
  if (!o.verify_filter() && o.file.empty()) return fail("no file given");
  if (o.verify_filter() && o.kind) return fail("--kind does not go with --verify-filter");
  return parsed;
}

std::string usage_text() {
  return "usage: kivoinspect [--json] [--channels N] [--kind raw|filtered|recorder] FILE\n"
         "       kivoinspect [--json] [--channels N] --verify-filter RAW FILTERED\n"
         "       kivoinspect --help | --version\n"
         "Summarises a Kivo sample file: kind, channels, slots and blocks, stamps and rate,\n"
         "sequence gaps, stale slots (repeated datagrams) and each channel's range.\n"
         "  --json           one JSON object on stdout instead of text\n"
         "  --channels N     the channel count (1..16), needed when the file has no .json beside it\n"
         "  --kind K         raw, filtered or recorder, when there is no .json (default: guessed)\n"
         "  --verify-filter RAW FILTERED\n"
         "                   recomputes FILTERED from RAW with the coefficients in FILTERED's\n"
         "                   metadata and reports the first slot that differs\n"
         "Exit status: 0 consistent (or filter verified); 1 inconsistent (or not verified), which\n"
         "includes datagrams of a wrong size in the metadata's count (a wrong channel count);\n"
         "2 bad command line or a file that cannot be read.\n"
         "To look at the signal and the datagram rate: python3 -m kivo plot FILE (writes a PNG).\n";
}

}  // namespace kivo::inspect
