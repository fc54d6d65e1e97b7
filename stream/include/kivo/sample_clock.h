// The device's sample clock, fitted from receive stamps: every datagram
// gets its place in the recording's numbering (sample k of a datagram is
// sample n = u * nsamp + k, u its unwrapped sequence number), and every
// sample a time on a straight line t(n) = t0 + n / sample_rate fitted to the
// lower envelope of the stamps, segment by segment.
//
// Online, one SampleClock per stream notes each datagram as it is received:
// constant memory, nothing allocated after construction, a few tens of ns a
// datagram. Offline, fit_sample_clock runs the same model over a file's
// sequence numbers and stamps, so both give the same answers.
//
// A new segment begins where the device restarts its numbering, where the
// stamps' clock steps back (a stamp earlier than the one before, or more than
// kClockStepSeconds below the line), and where it jumps forward and stays
// there: a second of stamps more than kClockStepSeconds above the line, at
// the segment's rate and as tightly bunched above their own line as stamps
// were before. Stamps that far above the line that come back to it (a stall
// and its backlog, a congested stretch) stay in the segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kivo/jitter_histogram.h"
#include "kivo/sample_timing.h"
#include "kivo/segment_fit.h"
#include "kivo/sequence_unwrap.h"

namespace kivo {

// Where a datagram's samples lie: sample k of it is first_sample + k.
struct DatagramPosition {
  int64_t first_sample = 0;
  DatagramPlace place = DatagramPlace::first;
};

// One thread at a time: the thread that receives the datagrams in their order
// (the engine's receiver thread, kivorec's main thread). Copies are
// independent.
class SampleClock {
 public:
  static constexpr size_t kDefaultSegmentLimit = 1024;
  static constexpr size_t kHullCapacity = 1024;

  // nsamp: samples per channel in one datagram (1 or more, else
  // std::invalid_argument). segment_limit: segments kept for time_of() and
  // timing(), the most recent ones; 0 keeps all (memory grows with them).
  explicit SampleClock(int32_t nsamp, size_t segment_limit = kDefaultSegmentLimit);

  // Notes a received datagram's sequence number and receive stamp (seconds
  // since 1970), in the order received; one too short to carry a sequence
  // number is not noted. A stamp that is not finite places the datagram by
  // its number alone. Allocates nothing (but for a closed segment when
  // segment_limit is 0).
  DatagramPosition note(uint16_t sequence, double stamp);

  // The time of sample n on the fit so far; NaN outside every kept segment
  // or before a segment has a rate.
  double time_of(int64_t sample) const;
  // The segment that datagrams now arrive in, up to the latest datagram
  // (first_sample > last_sample before the first datagram). Cheap: copy it
  // to another thread for per-sample times there.
  ClockSegment current_segment() const;
  // Everything fitted so far. Allocates (the segment list).
  SampleTiming timing() const;

  int32_t nsamp() const { return nsamp_; }

 private:
  DatagramPosition place_without_stamp(uint16_t sequence);
  void start_segment(int64_t u, uint16_t sequence, double stamp);
  void refresh_decision_line(double stamp);
  void close_segment();
  void take_next(const Unwrapped& placed, uint16_t sequence, double stamp, bool line_trusted);
  void add_to_segment(int64_t u, double stamp);
  void hold(int64_t u, double stamp, double above_line);
  void start_candidate(int64_t u, double stamp);
  bool is_step(const SegmentLine& candidate) const;
  void end_hold_as_stall();
  void end_hold_as_step();
  void clear_hold();
  ClockSegment segment_of(const SegmentFit& fit, int64_t last_u) const;
  void remember_if_longest(const SegmentFit& fit, double& longest, double& rate, double& ppm) const;

  int32_t nsamp_;
  size_t segment_limit_;
  bool started_ = false;
  NumberingState numbering_;
  SegmentFit current_;
  SegmentLine decision_line_;  // current_'s line, refreshed every kSettledSeconds once trusted
  double decision_line_stamp_ = 0;
  std::vector<ClockSegment> closed_;  // before current_, oldest first
  double previous_slope_;             // seconds per datagram of the last closed segment; NaN: none

  // Stamps far above the line, held out of current_ until they come back (a
  // stall) or stay up, at the segment's rate and as tightly, for a second (a
  // step forward: candidate_, the fit of that second, becomes the segment).
  // A second that is neither starts a new candidate.
  bool holding_ = false;
  int64_t held_first_ = 0;
  SegmentFit candidate_;
  uint64_t held_count_ = 0;
  double held_sum_ = 0;               // held datagram numbers counted from current_'s origin
  JitterHistogram held_jitter_;       // above current_'s line
  JitterHistogram candidate_jitter_;  // above candidate_'s line

  JitterHistogram jitter_;
  double longest_span_ = -1;  // datagrams, of the longest closed segment
  double longest_rate_;
  double longest_ppm_;
  uint64_t datagrams_ = 0;
  uint64_t segment_count_ = 0;
  uint64_t clock_steps_ = 0;
  uint64_t device_restarts_ = 0;
  uint64_t late_datagrams_ = 0;
};

// The same model over arrays in the order received (a file's slots).
// first_samples, when given, receives every datagram's first sample index.
SampleTiming fit_sample_clock(int32_t nsamp, const uint16_t* sequence_numbers, const double* stamps,
                              size_t count, int64_t* first_samples = nullptr);

}  // namespace kivo
