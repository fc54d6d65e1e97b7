// Even pacing of datagrams from a steady clock: datagram n is due at
// start + n / rate. Long gaps are slept, the last stretch is spun, so the
// stream has no bursts and no drift.
#pragma once

#include <chrono>
#include <cstdint>

namespace kivo::sim {

using SteadyClock = std::chrono::steady_clock;

// Main thread only.
class Pacer {
 public:
  // rate in datagrams per second; 0 = every datagram is due at once.
  Pacer(double rate, SteadyClock::time_point start);

  bool paced() const { return rate_ > 0; }
  // When the next datagram is due.
  SteadyClock::time_point due() const;
  // Marks the next `n` slots as used. Falling further behind than a few tens of
  // milliseconds restarts the schedule at `now` instead of catching up with
  // a burst, and is counted as a slip.
  void taken(uint64_t n, SteadyClock::time_point now);

  uint64_t slips() const { return slips_; }
  double slipped_seconds() const { return slipped_seconds_; }

 private:
  SteadyClock::time_point at(uint64_t slot) const;

  double rate_;
  SteadyClock::time_point anchor_;
  uint64_t slot_ = 0;  // slots since anchor_
  uint64_t slips_ = 0;
  double slipped_seconds_ = 0;
};

// Waits until `when` or until a stop is requested, whichever comes first:
// sleeps in short naps while far away, then yields in a tight loop.
// Returns false when it ended because of a stop request.
bool wait_until(SteadyClock::time_point when);

}  // namespace kivo::sim
