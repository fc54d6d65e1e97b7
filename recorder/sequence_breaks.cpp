#include "sequence_breaks.h"

namespace kivo::recorder {

void SequenceBreaks::note(uint16_t seq, uint16_t skipped) {
  ++breaks;
  if (skipped < kBehindTheRun) missing += skipped;
  last_seq = seq;
  last_skipped = skipped;
}

void SequenceBreaks::unpack_last(uint64_t word) {
  last_seq = static_cast<uint16_t>(word >> 16);
  last_skipped = static_cast<uint16_t>(word);
}

std::string sequence_break_line(const SequenceBreaks& before, const SequenceBreaks& now) {
  const std::string seq = "#" + std::to_string(now.last_seq);
  const uint64_t breaks = now.breaks - before.breaks;
  const uint64_t missing = now.missing - before.missing;
  if (breaks > 1) {
    return "sequence gaps: " + std::to_string(breaks) + " breaks, " + std::to_string(missing) +
           " datagram(s) missing, the latest at " + seq + "\n";
  }
  if (now.last_skipped >= kBehindTheRun) {
    return "sequence gap: " + seq + " arrived behind the run (late, or sent twice)\n";
  }
  return "sequence gap: " + std::to_string(missing) + " datagram(s) missing before " + seq + "\n";
}

}  // namespace kivo::recorder
