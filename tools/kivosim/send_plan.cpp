#include "send_plan.h"

#include <algorithm>
#include <cmath>

#include "random_bits.h"

namespace kivo::sim {
namespace {

// The jitter's random numbers are their own stream, apart from the content's.
constexpr uint64_t kJitterStream = 0x6A09E667F3BCC909ULL;

SendPlan::Offset nanoseconds(double seconds) { return SendPlan::Offset(std::llround(seconds * 1e9)); }

}  // namespace

SendPlan::SendPlan(const Options& options)
    : stall_period_(nanoseconds(options.stall_every)),
      stall_length_(nanoseconds(options.stall_ms / 1000)),
      jitter_mean_ns_(options.jitter_us * 1000),
      random_state_(options.seed ^ kJitterStream) {}

// -mean * ln(1 - u) for u uniform in [0, 1): exponentially distributed.
double SendPlan::exponential_ns() {
  const double u = static_cast<double>(splitmix64(random_state_) >> 11) * 0x1p-53;
  return -jitter_mean_ns_ * std::log1p(-u);
}

SendPlan::Offset SendPlan::send_at(Offset due) {
  Offset at = due;
  if (jitter_mean_ns_ > 0) at += Offset(std::llround(exponential_ns()));
  if (stall_period_.count() > 0) {
    const auto stall = due / stall_period_;  // the stall that may hold it
    const Offset stall_end = stall * stall_period_ + stall_length_;
    if (stall >= 1 && due < stall_end) at = std::max(at, stall_end);
  }
  at = std::max(at, last_);
  last_ = at;
  return at;
}

}  // namespace kivo::sim
