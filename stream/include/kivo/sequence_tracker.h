// Breaks in the device's numbering: a datagram whose sequence number is not
// the previous one's + 1 breaks the run. The velto receiver, kivorec and
// kivoinspect count breaks by this one rule.
#pragma once

#include <cstdint>

#include "kivo/datagram.h"

namespace kivo {

// One thread at a time: the thread that takes the datagrams in their order.
class SequenceTracker {
 public:
  // Notes the number of the next datagram; true when it breaks the run (the
  // first number never does).
  bool note(uint16_t seq) {
    const bool breaks = started_ && seq != next_sequence(last_);
    last_ = seq;
    started_ = true;
    return breaks;
  }

  // Notes a received datagram of `length` bytes. One too short to hold a
  // sequence number is no break and leaves the run as it is.
  bool note_datagram(const uint8_t* datagram, long long length) {
    if (length < kHeaderBytes) return false;
    return note(sequence_number(datagram));
  }

  // The number noted last (0 before the first).
  uint16_t last() const { return last_; }

  // Starts a new run: the next number noted breaks nothing.
  void reset() { *this = SequenceTracker{}; }

 private:
  uint16_t last_ = 0;
  bool started_ = false;
};

}  // namespace kivo
