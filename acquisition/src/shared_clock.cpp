#include "kivo/shared_clock.h"

#include <cstring>

namespace kivo {
namespace {

// The same line from the same first sample (NaN equal to NaN).
bool same_line(const ClockSegment& a, const ClockSegment& b) {
  return a.first_sample == b.first_sample && std::memcmp(&a.t0, &b.t0, sizeof a.t0) == 0 &&
         std::memcmp(&a.sample_rate, &b.sample_rate, sizeof a.sample_rate) == 0;
}

}  // namespace

double ClockLines::time_of(int64_t sample) const {
  if (sample >= current.first_sample && current.first_sample <= current.last_sample) {
    return current.time_of(sample);
  }
  return previous.holds(sample) ? previous.time_of(sample) : kNoTime;
}

void SharedClockLines::AtomicSegment::store(const ClockSegment& segment) {
  first_sample.store(segment.first_sample, std::memory_order_release);
  last_sample.store(segment.last_sample, std::memory_order_release);
  t0.store(segment.t0, std::memory_order_release);
  sample_rate.store(segment.sample_rate, std::memory_order_release);
}

ClockSegment SharedClockLines::AtomicSegment::load() const {
  ClockSegment segment;
  segment.first_sample = first_sample.load(std::memory_order_acquire);
  segment.last_sample = last_sample.load(std::memory_order_acquire);
  segment.t0 = t0.load(std::memory_order_acquire);
  segment.sample_rate = sample_rate.load(std::memory_order_acquire);
  return segment;
}

void SharedClockLines::reset() {
  published_ = ClockLines{};
  write(published_);
}

// Most datagrams leave the line as it was and only lengthen the segment,
// which a reader does not need to know of: nothing is written for them.
void SharedClockLines::publish(const ClockSegment& current) {
  const bool unchanged = same_line(current, published_.current);
  const bool known = published_.current.first_sample <= published_.current.last_sample;
  if (unchanged && known) {
    published_.current.last_sample = current.last_sample;
    return;
  }
  ClockLines lines = published_;
  if (current.first_sample != published_.current.first_sample &&
      published_.current.first_sample <= published_.current.last_sample) {
    lines.previous = published_.current;
  }
  lines.current = current;
  published_ = lines;
  write(lines);
}

// A sequence lock: the version is odd while the fields change, and a reader
// keeps what it read only when the version was even and the same around it.
// Without fences (which ThreadSanitizer cannot follow): the odd version's
// acquire keeps the fields' stores after it, and a reader that loads a field
// stored after it (release to acquire) then sees the version changed.
void SharedClockLines::write(const ClockLines& lines) {
  const uint64_t version = version_.fetch_add(1, std::memory_order_acq_rel);
  current_.store(lines.current);
  previous_.store(lines.previous);
  version_.store(version + 2, std::memory_order_release);
}

ClockLines SharedClockLines::read() const {
  for (;;) {
    const uint64_t before = version_.load(std::memory_order_acquire);
    ClockLines lines;
    lines.current = current_.load();
    lines.previous = previous_.load();
    if ((before & 1U) == 0 && version_.load(std::memory_order_relaxed) == before) return lines;
  }
}

}  // namespace kivo
