#include "options.h"

#include <cmath>
#include <cstdlib>

#include "file_options.h"

namespace kivo::exporter {
namespace {

std::optional<double> parse_rate(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0) return std::nullopt;
  return value;
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
    } else if (arg == "--out") {
      if (!has_value || (o.out_dir = argv[++i]).empty()) return fail("--out needs a folder");
    } else if (arg == "--sample-rate") {
      if (!has_value || !(o.sample_rate = parse_rate(argv[++i])))
        return fail("--sample-rate needs a rate in Hz above 0");
    } else if (std::string error; kivo::inspect::take_file_option(argc, argv, i, o.channels, o.kind, error)) {
      if (!error.empty()) return fail(error);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return fail("unknown option " + arg);
    } else if (o.file.empty()) {
      o.file = arg;
    } else {
      return fail("one file at a time (" + arg + " is one too many)");
    }
  }
  if (o.help || o.version) return parsed;
  if (o.file.empty()) return fail("no file given");
  return parsed;
}

std::string usage_text() {
  return "usage: kivoexport [--out DIR] [--sample-rate HZ] [--channels N] [--kind raw|filtered|recorder] "
         "FILE\n"
         "       kivoexport --help | --version\n"
         "Writes a Kivo sample file as BrainVision files (FILE's name with .vhdr, .vmrk and .eeg),\n"
         "which MNE-Python, EEGLAB and FieldTrip read: every sample as a 32-bit float, the\n"
         "markers of the events file beside it (<base>_kivo_events.tsv), and each gap in the\n"
         "datagrams as a new segment. Stale slots and missing datagrams add no samples.\n"
         "  --out DIR         write the files into DIR instead of beside FILE\n"
         "  --sample-rate HZ  samples per second per channel, instead of the rate fitted to the\n"
         "                    receive stamps (needed for kivorec's files without a fitted rate)\n"
         "  --channels N      the channel count (1..16), needed when FILE has no .json beside it\n"
         "  --kind K          raw, filtered or recorder, when there is no .json (default: guessed)\n"
         "Exit status: 0 exported; 1 the recording or its events file cannot be exported;\n"
         "2 bad command line; 3 the files could not be written. Nothing is left behind\n"
         "unless all three files were written.\n";
}

}  // namespace kivo::exporter
