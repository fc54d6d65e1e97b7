// What a run has done so far, and the lines that tell the user about it.
#pragma once

#include <cstdint>
#include <string>

namespace kivo::sim {

struct Tally {
  uint64_t sent = 0;     // datagrams the socket took, faults included
  uint64_t bytes = 0;    // their bytes
  uint64_t failed = 0;   // datagrams the socket refused
  int last_error = 0;    // the socket's error code for the last refusal
  uint64_t skipped = 0;  // sequence numbers left out on purpose
  uint16_t last_seq = 0;
};

// The final line, for people and scripts:
// "kivosim: sent N datagrams (B bytes) in S s: R datagrams/s; skipped K sequence numbers"
std::string summary_line(const Tally& tally, double seconds);

// The once-a-second progress line; `recent_rate` is over the last interval.
std::string progress_line(const Tally& tally, double seconds, double recent_rate);

// Lines about trouble (failed sends, a schedule that slipped); empty when none.
std::string trouble_lines(const Tally& tally, uint64_t slips, double slipped_seconds);

}  // namespace kivo::sim
