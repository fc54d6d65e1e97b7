// The binary data file: the exported rows as 32-bit little-endian floats,
// the channels of one row together, written a few hundred slots at a time.
#pragma once

#include "analysis.h"
#include "kivo/block_file.h"
#include "plan.h"
#include "recording.h"

namespace kivo::exporter {

// The filter's outputs are stored with this added, to keep them unsigned.
inline constexpr float kFilteredOffset = 32767.0F;

// Appends the plan's rows of `slots` to `out`; in a filtered file, with the
// offset taken off. Returns 0 or the file layer's error code.
int write_samples(const inspect::Slots& slots, const Plan& plan, kivo::BlockFile& out,
                  const inspect::Progress& progress = {});

}  // namespace kivo::exporter
