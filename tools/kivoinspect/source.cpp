#include "source.h"

#include <fstream>
#include <sstream>

namespace kivo::inspect {
namespace {

// The metadata file's text, or nothing when there is none.
std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string open_source(const std::string& path, std::optional<uint32_t> channels,
                        std::optional<kivo::FileKind> kind, Source& out) {
  out.path = path;
  if (const std::string error = out.file.open(path); !error.empty()) {
    return "cannot read " + path + ": " + error;
  }
  const std::string metadata_path = kivo::metadata_path_for(path);
  if (const auto text = read_text(metadata_path)) {
    try {
      out.metadata = kivo::parse_metadata_json(*text);
    } catch (const kivo::MetadataError& e) {
      out.problems.push_back("the metadata file " + metadata_path + " cannot be used: " + e.what());
    }
  }
  if (!channels && out.metadata) channels = out.metadata->nchans;
  if (!channels) {
    return path + " has no usable metadata file (" + metadata_path +
           "); give its channel count with --channels N";
  }
  if (kind) {
    out.kind_from = "--kind";
  } else if (out.metadata) {
    kind = out.metadata->kind;
    out.kind_from = "metadata";
  } else {
    kind = guess_kind(kivo::base_name(path), out.file.data(), out.file.size(), *channels);
    out.kind_from = "guessed";
  }
  out.layout = make_layout(*kind, *channels);
  return {};
}

}  // namespace kivo::inspect
