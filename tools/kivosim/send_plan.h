// When each datagram leaves: in its slot of the schedule, or later, as a
// network or a receiver between the device and its reader would deliver
// it: by a random delay (--jitter-us), or held to the end of a stall
// (--stall-every, --stall-ms) and then sent with the backlog at once. The
// schedule itself, the device's clock, is never moved; and no datagram
// overtakes the one before it.
#pragma once

#include <chrono>
#include <cstdint>

#include "options.h"

namespace kivo::sim {

// Main thread only.
class SendPlan {
 public:
  using Offset = std::chrono::nanoseconds;  // from the start of the run

  explicit SendPlan(const Options& options);

  bool delays() const { return stall_period_.count() > 0 || jitter_mean_ns_ > 0; }
  // When the datagram due at `due` leaves; called once per datagram, in order.
  Offset send_at(Offset due);

 private:
  double exponential_ns();

  Offset stall_period_{0};  // stalls begin at every multiple of it but the first
  Offset stall_length_{0};
  double jitter_mean_ns_ = 0;
  uint64_t random_state_;
  Offset last_{Offset::min()};
};

}  // namespace kivo::sim
