// The receiver's sample clock, as another thread may use it: the line of
// the segment that datagrams now arrive in and of the one before it, for the
// times of the samples that 'samples' hands over.
#pragma once

#include <atomic>
#include <cstdint>

#include "kivo/sample_timing.h"

namespace kivo {

// Two segments of the fitted clock, copied out of the receiver.
struct ClockLines {
  ClockSegment current;   // up to the latest datagram
  ClockSegment previous;  // the segment before it; none (first_sample > last_sample) at first

  // The time of sample n (seconds since 1970): from the current segment for
  // n at or after its first sample, else from the previous segment where it
  // holds n. NaN elsewhere (older segments) and where the segment has no
  // rate yet (its first datagram, unless a settled segment lent it one).
  double time_of(int64_t sample) const;
};

class SharedClockLines {
 public:
  // host thread, while no receiver runs: no line.
  void reset();
  // Receiver thread (the host thread at 'close'): `current` is the clock's
  // current segment after the datagram just noted. When it begins at
  // another sample than the one published before, the one before becomes
  // the previous segment. Never waits.
  void publish(const ClockSegment& current);
  // Any thread: the latest published lines, never torn.
  ClockLines read() const;

 private:
  struct AtomicSegment {
    std::atomic<int64_t> first_sample{0};
    std::atomic<int64_t> last_sample{-1};
    std::atomic<double> t0{kNoTime};
    std::atomic<double> sample_rate{kNoTime};
    void store(const ClockSegment& segment);
    ClockSegment load() const;
  };
  void write(const ClockLines& lines);

  // Receiver thread writes (odd while it writes), any thread reads.
  std::atomic<uint64_t> version_{0};
  AtomicSegment current_;
  AtomicSegment previous_;
  // Receiver thread only (the host thread while none runs): what it published last.
  ClockLines published_;
};

}  // namespace kivo
