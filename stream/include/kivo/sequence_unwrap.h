// Where a datagram belongs in the recording's numbering: its 16-bit sequence
// number unwrapped into a datagram number u (sample k of it is sample
// u * nsamp + k). The receive stamps and the clock line so far tell a gap of
// whole wraps from a short one, a late datagram from a device restart, and a
// clock that stepped back from a stream that went on.
#pragma once

#include <cstdint>

namespace kivo {

inline constexpr int64_t kSequenceWrap = 65536;
// A stamp this far below a trusted line cannot be a delay (delays only add):
// the clock stepped back or the device restarted. This far above it, it is
// a stall or a step forward, which what follows tells apart.
inline constexpr double kClockStepSeconds = 0.01;
// A datagram overtaken by later ones arrives at most this long after its
// time; one further behind is a restarted device's.
inline constexpr double kLongestReorderSeconds = 1.0;

enum class DatagramPlace : uint8_t {
  first,       // the first datagram noted
  next,        // after every datagram so far (perhaps after a gap)
  late,        // numbered below one that came before it
  repeated,    // the same number as the highest so far
  restart,     // the device started its numbering afresh
  clock_step,  // the stamps' clock stepped (the numbering goes on)
};

struct NumberingState {
  int64_t last_datagram = 0;   // the highest datagram number so far
  uint16_t last_sequence = 0;  // its sequence number
  double last_stamp = 0;       // the stamp of the datagram received last
};

// The clock line near the highest datagram so far, when one is known.
// `trusted` lines are settled enough to call a stamp off them a step.
struct LineNearLast {
  bool known = false;
  bool trusted = false;
  double time_at_last = 0;  // the line's time of last_datagram
  double seconds_per_datagram = 0;
};

struct Unwrapped {
  int64_t datagram = 0;
  DatagramPlace place = DatagramPlace::next;
  double above_line = 0;  // stamp minus the line's time; NaN without a line
};

// Pure. Rules, in order:
// - a stamp earlier than the last one: the clock stepped back;
// - no line yet: a number up to 64 behind is late, the same number repeated,
//   any other the next after a gap;
// - with a line: the forward gap (whole wraps added for gaps of 32 numbers
//   or more, as many as the stamp's distance along the line says; fewer
//   numbers are never more than the gap, so that a backlog after a long
//   stall keeps its numbers) or, up to 64 behind, late or repeated: whichever
//   puts the stamp nearer the line; up to half a wrap behind, late too when
//   the stamp lies at most kLongestReorderSeconds above that place (a run
//   held up on the network while the datagrams after it went ahead);
// - with a trusted line, a late datagram more than kLongestReorderSeconds
//   above the line is a restart, and a next one more than kClockStepSeconds
//   below it a clock step (a gap under 32) or a restart.
// A restart takes the next number above the highest that has its low 16
// bits, so numbers never repeat across segments.
Unwrapped unwrap_sequence(const NumberingState& state, const LineNearLast& line, uint16_t sequence,
                          double stamp);

}  // namespace kivo
