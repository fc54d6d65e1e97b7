// The fitted clock of a recording as plain data: the segments of the line
// t(n) = t0 + n / sample_rate that give sample n its time, the fit's figures,
// and the "timing" object of the metadata file that holds them.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kivo {

inline constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

// A stretch of the recording on one straight clock line. Sample n of the
// recording (n = unwrapped sequence number x nsamp + time step) has the time
// t0 + n / sample_rate, in seconds since 1970, for first_sample <= n <=
// last_sample. Indices of datagrams that never arrived lie inside a segment
// and have the time they would have had.
struct ClockSegment {
  int64_t first_sample = 0;
  int64_t last_sample = -1;
  double t0 = kNoTime;           // the line's time of sample 0
  double sample_rate = kNoTime;  // samples per second per channel; NaN until two datagrams span it

  double time_of(int64_t sample) const { return t0 + static_cast<double>(sample) / sample_rate; }
  bool holds(int64_t sample) const { return sample >= first_sample && sample <= last_sample; }
};

// Where the stamps were read: by the kernel as the datagram arrived, or by
// the receiving thread when its receive returned.
enum class StampSource { receiver, kernel };
const char* stamp_source_name(StampSource source);

struct SampleTiming {
  std::vector<ClockSegment> segments;  // in the order of their samples
  double sample_rate = kNoTime;        // of the longest segment
  double sample_rate_uncertainty_ppm = kNoTime;
  double jitter_median_seconds = kNoTime;  // stamps above the line
  double jitter_p99_seconds = kNoTime;
  double jitter_max_seconds = kNoTime;
  uint64_t datagrams = 0;        // datagrams noted
  uint64_t segment_count = 0;    // every segment; more than `segments` holds only past an online limit
  uint64_t clock_steps = 0;      // the stamps' clock stepped back, or jumped forward and stayed
  uint64_t device_restarts = 0;  // the sequence numbers started afresh
  uint64_t late_datagrams = 0;   // numbered below one that came before them (repeats too)
  StampSource stamp_source = StampSource::receiver;
};

// Whether every stamp a clock was given was the kernel's: the source that a
// recording's timing names (the receiver's clock as soon as one was not).
class StampSourceTally {
 public:
  void note(bool kernel_stamp) { kernel_only_ = kernel_only_ && kernel_stamp; }
  // `timing` (of the stamps noted) with its stamp_source.
  SampleTiming named(SampleTiming timing) const {
    const bool kernel = kernel_only_ && timing.datagrams > 0;
    timing.stamp_source = kernel ? StampSource::kernel : StampSource::receiver;
    return timing;
  }

 private:
  bool kernel_only_ = true;
};

// The time of sample `sample`; NaN outside every segment or where a
// segment's rate is unknown.
double sample_time(const SampleTiming& timing, int64_t sample);

// The figures and counts of SampleTiming, in the order the metadata lists
// them; every writer and reader of the "timing" object goes through these.
struct TimingFigure {
  const char* key;
  double SampleTiming::*member;  // NaN is written as null
};
struct TimingCount {
  const char* key;
  uint64_t SampleTiming::*member;
};
inline constexpr TimingFigure kTimingFigures[] = {
    {"sample_rate", &SampleTiming::sample_rate},
    {"sample_rate_uncertainty_ppm", &SampleTiming::sample_rate_uncertainty_ppm},
    {"jitter_median_seconds", &SampleTiming::jitter_median_seconds},
    {"jitter_p99_seconds", &SampleTiming::jitter_p99_seconds},
    {"jitter_max_seconds", &SampleTiming::jitter_max_seconds},
};
inline constexpr TimingCount kTimingCounts[] = {
    {"datagrams", &SampleTiming::datagrams},           {"segment_count", &SampleTiming::segment_count},
    {"clock_steps", &SampleTiming::clock_steps},       {"device_restarts", &SampleTiming::device_restarts},
    {"late_datagrams", &SampleTiming::late_datagrams},
};

// The "timing" object as JSON text (fields in a fixed order), and back.
// Reading throws MetadataError (kivo/metadata.h) naming the first field that
// is missing or wrong.
std::string timing_json_text(const SampleTiming& timing);
SampleTiming parse_timing_json(const std::string& text);

}  // namespace kivo
