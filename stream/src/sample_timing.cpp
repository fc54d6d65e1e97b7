// Looking up a sample's time in the fitted segments.
#include "kivo/sample_timing.h"

#include <algorithm>

namespace kivo {

const char* stamp_source_name(StampSource source) {
  return source == StampSource::kernel ? "kernel" : "receiver";
}

double sample_time(const SampleTiming& timing, int64_t sample) {
  const auto& segments = timing.segments;
  // The last segment that starts at or before the sample.
  auto after = std::upper_bound(segments.begin(), segments.end(), sample,
                                [](int64_t n, const ClockSegment& s) { return n < s.first_sample; });
  if (after == segments.begin()) return kNoTime;
  const ClockSegment& segment = *(after - 1);
  return segment.holds(sample) ? segment.time_of(sample) : kNoTime;
}

}  // namespace kivo
