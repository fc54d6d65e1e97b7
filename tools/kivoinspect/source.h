// A sample file opened for inspection: mapped into memory, with its metadata
// file when it has one, and the layout to read it by.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kivo/metadata.h"
#include "mapped_file.h"
#include "recording.h"

namespace kivo::inspect {

struct Source {
  std::string path;
  MappedFile file;
  std::optional<kivo::Metadata> metadata;
  std::string kind_from;              // "metadata", "--kind" or "guessed"
  std::vector<std::string> problems;  // a metadata file that cannot be used
  Layout layout;

  Slots slots() const { return Slots(file.data(), file.size(), layout); }
};

// Opens `path` into `out`. The channel count and kind come from the options
// when given, else from the metadata file; without either the kind is
// guessed, but the channel count is needed. Returns an empty string, or why
// the file cannot be read.
std::string open_source(const std::string& path, std::optional<uint32_t> channels,
                        std::optional<kivo::FileKind> kind, Source& out);

}  // namespace kivo::inspect
