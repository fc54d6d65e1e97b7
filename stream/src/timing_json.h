// The "timing" object inside a metadata file's JSON, for whichever JSON
// document holds it.
#pragma once

#include "json_fields.h"
#include "kivo/sample_timing.h"

namespace kivo {

json_fields::Json timing_json(const SampleTiming& timing);
// Throws MetadataError naming the first field that is missing or wrong.
SampleTiming parse_timing(const json_fields::Json& in);

}  // namespace kivo
