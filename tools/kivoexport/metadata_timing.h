// The clock that the recorder fitted while it received, when the metadata
// file beside the recording holds it (its "timing" object).
#pragma once

#include <optional>
#include <string>

#include "kivo/sample_timing.h"

namespace kivo::exporter {

struct MetadataTiming {
  std::optional<kivo::SampleTiming> timing;
  std::string problem;  // a "timing" object that cannot be read
};

MetadataTiming read_metadata_timing(const std::string& sample_path);

}  // namespace kivo::exporter
