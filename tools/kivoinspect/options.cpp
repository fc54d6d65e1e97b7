#include "options.h"

#include "file_options.h"

namespace kivo::inspect {
ParsedOptions parse_options(int argc, const char* const* argv) {
  ParsedOptions parsed;
  Options& o = parsed.options;
  auto fail = [&parsed](const std::string& error) {
    parsed.error = error;
    return parsed;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--json") {
      o.json = true;
    } else if (std::string error; take_file_option(argc, argv, i, o.channels, o.kind, error)) {
      if (!error.empty()) return fail(error);
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
