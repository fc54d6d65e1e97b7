#include "pacer.h"

#include <thread>

#include "stop_request.h"

namespace kivo::sim {
namespace {

using std::chrono::duration;
using std::chrono::duration_cast;

// Sleeping wakes late by up to the timer slack and scheduling delay; the
// remainder of a wait shorter than this is spun instead.
constexpr auto kSpinWindow = std::chrono::microseconds(300);
// Naps are short enough that a stop request is seen promptly.
constexpr auto kLongestNap = std::chrono::milliseconds(50);
// How far behind the schedule may fall before it is restarted.
constexpr auto kMaxLag = std::chrono::milliseconds(50);

}  // namespace

Pacer::Pacer(double rate, SteadyClock::time_point start) : rate_(rate), anchor_(start) {}

SteadyClock::time_point Pacer::at(uint64_t slot) const {
  if (rate_ <= 0) return anchor_;
  return anchor_ + duration_cast<SteadyClock::duration>(duration<double>(static_cast<double>(slot) / rate_));
}

SteadyClock::time_point Pacer::due() const { return at(slot_); }

void Pacer::taken(uint64_t n, SteadyClock::time_point now) {
  slot_ += n;
  if (rate_ <= 0) return;
  const SteadyClock::time_point next = at(slot_);
  if (now - next > kMaxLag) {
    ++slips_;
    slipped_seconds_ += duration<double>(now - next).count();
    anchor_ = now;
    slot_ = 0;
  }
}

bool wait_until(SteadyClock::time_point when) {
  for (;;) {
    if (stop_requested()) return false;
    const auto now = SteadyClock::now();
    if (now >= when) return true;
    const auto left = when - now;
    if (left > kSpinWindow) {
      const auto nap = left - kSpinWindow;
      std::this_thread::sleep_for(nap < kLongestNap ? nap : SteadyClock::duration(kLongestNap));
    } else {
      std::this_thread::yield();
    }
  }
}

}  // namespace kivo::sim
