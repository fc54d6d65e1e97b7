// The [Comment] section of the exported header: where the data come from,
// what the values mean, where the rate comes from, and every break, stale
// slot and event that did not become a plain data point.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivo/metadata.h"
#include "markers.h"

namespace kivo::exporter {

struct CommentFacts {
  std::string file;  // the recording's base name
  kivo::FileKind kind = kivo::FileKind::raw;
  uint32_t nchans = 0;
  int32_t nsamp = 0;
  double sample_rate = 0;
  std::string rate_source;  // how the rate was found, after "Sampling rate: ... Hz, "
  uint64_t rows = 0;
  uint64_t datagrams = 0;
  uint64_t stale_slots = 0;
  std::vector<BreakNote> breaks;
  std::string events_file;  // base name
  bool events_present = false;
  const PlacedEvents* events = nullptr;
};

std::vector<std::string> comment_lines(const CommentFacts& facts);

}  // namespace kivo::exporter
