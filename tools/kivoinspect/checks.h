// Whether a sample file is consistent: whole slots, a partial last block only
// as its metadata counts it, and agreement with its metadata file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis.h"
#include "event_check.h"
#include "kivo/metadata.h"

namespace kivo::inspect {

struct Findings {
  std::vector<std::string> problems;  // each makes the file inconsistent
  std::vector<std::string> notes;     // worth knowing, not wrong
  EventTally events;                  // of the events file beside the sample file
};

// `file_name` is the sample file's base name; `metadata` is absent when the
// file has no metadata file.
Findings check_recording(const Summary& summary, const std::optional<kivo::Metadata>& metadata,
                         const std::string& file_name);

}  // namespace kivo::inspect
