// The offline proof of a recording's filter: the raw file run through the
// plug-in's own band filter (kivo::filter_block, single-precision
// coefficients as stored, zero histories at the start, carried from block to
// block) must give the filtered file byte for byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "analysis.h"
#include "kivo/metadata.h"
#include "recording.h"

namespace kivo::inspect {

struct FilterVerdict {
  bool verified = false;
  uint64_t blocks_compared = 0;  // a last, partial block counted as one
  uint64_t raw_blocks = 0;       // whole blocks
  uint64_t filtered_blocks = 0;
  uint64_t raw_slots = 0;
  uint64_t filtered_slots = 0;
  std::optional<uint64_t> first_different_slot;
  std::string detail;  // what differs, or why nothing could be compared
};

// Both files must have the same channel count; `raw` must be a raw file and
// `filtered` a filtered one. A last, partial block is filtered as the
// plug-in filters it (as a whole block, of which its slots are kept).
FilterVerdict verify_filter(const Slots& raw, const Slots& filtered, const kivo::FilterCoefficients& filter,
                            const Progress& progress = {});

}  // namespace kivo::inspect
