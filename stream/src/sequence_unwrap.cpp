#include "kivo/sequence_unwrap.h"

#include <cmath>
#include <limits>

namespace kivo {
namespace {

// Gaps shorter than this are taken as they are: losing a whole wrap and a few
// more is far less likely than a stall that delays a backlog of consecutive
// datagrams by more than half a wrap.
constexpr int64_t kShortGap = 32;
// Without a line, reordering further back than this is taken for a gap.
constexpr int64_t kLateWindow = 64;
// With a line, a datagram up to this far back is late when its stamp says so.
constexpr int64_t kLateWindowOnALine = kSequenceWrap / 2;
// Bounds the wraps one gap can span (127 days at 100,000 datagrams/s), so
// that sample indices stay far inside 64 bits whatever a stamp says.
constexpr double kMostWrapsAhead = 16777216;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The forward gap with whole wraps added where the stamp says so.
int64_t forward_gap(int64_t gap, double ahead) {
  if (gap != kSequenceWrap && gap < kShortGap) return gap;
  const double wraps = std::round((ahead - static_cast<double>(gap)) / static_cast<double>(kSequenceWrap));
  if (!(wraps > 0)) return gap;
  return gap + kSequenceWrap * static_cast<int64_t>(std::fmin(wraps, kMostWrapsAhead));
}

Unwrapped without_line(const NumberingState& state, int64_t gap) {
  if (gap == kSequenceWrap) return {state.last_datagram, DatagramPlace::repeated, kNaN};
  if (kSequenceWrap - gap <= kLateWindow) {
    return {state.last_datagram - (kSequenceWrap - gap), DatagramPlace::late, kNaN};
  }
  return {state.last_datagram + gap, DatagramPlace::next, kNaN};
}

}  // namespace

Unwrapped unwrap_sequence(const NumberingState& state, const LineNearLast& line, uint16_t sequence,
                          double stamp) {
  // 1 to 65536: the numbers from the highest so far to this one, forward.
  const int64_t raw_gap = static_cast<uint16_t>(sequence - state.last_sequence);
  const int64_t gap = raw_gap == 0 ? kSequenceWrap : raw_gap;
  if (stamp < state.last_stamp) return {state.last_datagram + gap, DatagramPlace::clock_step, kNaN};
  if (!line.known) return without_line(state, gap);

  const double spd = line.seconds_per_datagram;
  const double ahead = (stamp - line.time_at_last) / spd;
  const int64_t forward = forward_gap(gap, ahead);
  const double forward_above = stamp - (line.time_at_last + static_cast<double>(forward) * spd);
  const int64_t back = kSequenceWrap - gap;  // 0 for a repeat
  if (back < kLateWindowOnALine) {
    const double back_above = stamp - (line.time_at_last - static_cast<double>(back) * spd);
    // Far back, only a stamp that a network's delay explains is a late one.
    const bool could_be_late = back <= kLateWindow || back_above <= kLongestReorderSeconds;
    if (could_be_late && std::fabs(back_above) < std::fabs(forward_above)) {
      if (line.trusted && back_above > kLongestReorderSeconds) {
        return {state.last_datagram + gap, DatagramPlace::restart, kNaN};
      }
      const DatagramPlace place = back == 0 ? DatagramPlace::repeated : DatagramPlace::late;
      return {state.last_datagram - back, place, back_above};
    }
  }
  if (line.trusted && forward_above < -kClockStepSeconds) {
    const DatagramPlace place = gap < kShortGap ? DatagramPlace::clock_step : DatagramPlace::restart;
    return {state.last_datagram + gap, place, kNaN};
  }
  return {state.last_datagram + forward, DatagramPlace::next, forward_above};
}

}  // namespace kivo
