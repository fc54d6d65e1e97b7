// Breaks in the device's sequence numbers as kivorec's console says them:
// how many, the numbers they skipped, and the latest one.
#pragma once

#include <cstdint>
#include <string>

namespace kivo::recorder {

// A step of this many numbers or more is a datagram behind the run (late, or
// sent twice), not numbers missing.
inline constexpr uint16_t kBehindTheRun = 0x8000;

struct SequenceBreaks {
  uint64_t breaks = 0;        // datagrams not numbered previous + 1
  uint64_t missing = 0;       // numbers skipped by the breaks that stepped forward
  uint16_t last_seq = 0;      // the latest break's number
  uint16_t last_skipped = 0;  // numbers it skipped after the one before it

  // Datagram `seq` broke the run, `skipped` numbers after the one before it.
  void note(uint16_t seq, uint16_t skipped);
  // The latest break in one word, and back.
  uint64_t pack_last() const { return uint64_t{last_seq} << 16 | last_skipped; }
  void unpack_last(uint64_t word);
};

// The line (with its line end) for the breaks of `now` that came after
// those of `before`; there must be at least one:
//   "sequence gap: 2000 datagram(s) missing before #2802"
std::string sequence_break_line(const SequenceBreaks& before, const SequenceBreaks& now);

}  // namespace kivo::recorder
