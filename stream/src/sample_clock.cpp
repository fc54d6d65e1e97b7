#include "kivo/sample_clock.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kivo {
namespace {

// Held stamps make a forward step only when they arrive at the segment's
// rate and scatter above their line no more than this much more than the
// segment's stamps (median against median).
constexpr double kSameRateWithin = 0.01;
constexpr double kStepScatter = 4.0;
constexpr double kStepScatterFloor = 100e-6;

constexpr double kNaN = kNoTime;

// Distances above a line, but for rounding never below it.
double above_zero(double seconds) { return seconds > 0 ? seconds : 0; }

LineNearLast line_near(const SegmentLine& line, int64_t last_u) {
  LineNearLast near;
  if (!line.known) return near;
  near.known = true;
  near.trusted = line.trusted;
  near.time_at_last = line.time_of_datagram(last_u);
  near.seconds_per_datagram = line.slope;
  return near;
}

}  // namespace

SampleClock::SampleClock(int32_t nsamp, size_t segment_limit)
    : nsamp_(nsamp),
      segment_limit_(segment_limit),
      current_(kHullCapacity),
      previous_slope_(kNaN),
      candidate_(kHullCapacity),
      longest_rate_(kNaN),
      longest_ppm_(kNaN) {
  if (nsamp < 1) throw std::invalid_argument("a datagram holds at least one sample per channel");
  closed_.reserve(segment_limit);
}

DatagramPosition SampleClock::note(uint16_t sequence, double stamp) {
  ++datagrams_;
  if (!std::isfinite(stamp)) return place_without_stamp(sequence);
  if (!started_) {
    started_ = true;
    numbering_.last_stamp = stamp;
    start_segment(sequence, sequence, stamp);
    return {int64_t{sequence} * nsamp_, DatagramPlace::first};
  }
  if (!decision_line_.trusted || stamp - decision_line_stamp_ >= kSettledSeconds)
    refresh_decision_line(stamp);
  const Unwrapped placed =
      unwrap_sequence(numbering_, line_near(decision_line_, numbering_.last_datagram), sequence, stamp);
  numbering_.last_stamp = stamp;
  switch (placed.place) {
    case DatagramPlace::late:
    case DatagramPlace::repeated: ++late_datagrams_; break;
    case DatagramPlace::restart:
    case DatagramPlace::clock_step:
      if (placed.place == DatagramPlace::restart) {
        ++device_restarts_;
      } else {
        ++clock_steps_;
      }
      end_hold_as_stall();
      close_segment();
      start_segment(placed.datagram, sequence, stamp);
      break;
    case DatagramPlace::first:
    case DatagramPlace::next: take_next(placed, sequence, stamp, decision_line_.trusted); break;
  }
  return {placed.datagram * nsamp_, placed.place};
}

// A stamp that is no time (a damaged file's) places its datagram by number
// alone and leaves the fit as it is.
DatagramPosition SampleClock::place_without_stamp(uint16_t sequence) {
  if (!started_) return {int64_t{sequence} * nsamp_, DatagramPlace::first};
  const Unwrapped placed = unwrap_sequence(numbering_, LineNearLast{}, sequence, numbering_.last_stamp);
  if (placed.place == DatagramPlace::next) {
    numbering_.last_datagram = placed.datagram;
    numbering_.last_sequence = sequence;
  } else {
    ++late_datagrams_;
  }
  return {placed.datagram * nsamp_, placed.place};
}

void SampleClock::start_segment(int64_t u, uint16_t sequence, double stamp) {
  numbering_.last_datagram = u;
  numbering_.last_sequence = sequence;
  ++segment_count_;
  current_.start(u, stamp, previous_slope_);
  refresh_decision_line(stamp);
  if (decision_line_.known) jitter_.add(0);
}

// Decisions use the line as it was up to a second ago, so that stamps that
// come back down gradually (a queue draining after a congested stretch)
// cannot bend it step by step without ever lying far below it.
void SampleClock::refresh_decision_line(double stamp) {
  decision_line_ = current_.line();
  decision_line_stamp_ = stamp;
}

void SampleClock::take_next(const Unwrapped& placed, uint16_t sequence, double stamp, bool line_trusted) {
  const bool far_above = placed.above_line > kClockStepSeconds;
  if (holding_ && !far_above) end_hold_as_stall();
  numbering_.last_datagram = placed.datagram;
  numbering_.last_sequence = sequence;
  if (holding_ || (far_above && line_trusted)) {
    hold(placed.datagram, stamp, placed.above_line);
  } else {
    add_to_segment(placed.datagram, stamp);
  }
}

void SampleClock::add_to_segment(int64_t u, double stamp) {
  current_.add(u, stamp);
  const SegmentLine line = current_.line();
  if (line.known) jitter_.add(above_zero(stamp - line.time_of_datagram(u)));
}

void SampleClock::hold(int64_t u, double stamp, double above_line) {
  ++held_count_;
  held_sum_ += static_cast<double>(u - current_.origin());
  held_jitter_.add(above_line);
  if (!holding_) {
    holding_ = true;
    held_first_ = u;
    start_candidate(u, stamp);
    return;
  }
  candidate_.add(u, stamp);
  const SegmentLine line = candidate_.line();
  candidate_jitter_.add(above_zero(stamp - line.time_of_datagram(u)));
  if (stamp - candidate_.origin_stamp() < kSettledSeconds) return;
  if (is_step(line)) {
    end_hold_as_step();
  } else {
    start_candidate(u, stamp);
  }
}

// The candidate's first point lies on its line (drawn at the segment's rate).
void SampleClock::start_candidate(int64_t u, double stamp) {
  candidate_.start(u, stamp, current_.line().slope);
  candidate_jitter_.clear();
  candidate_jitter_.add(0);
}

// A second of held stamps is a step when it runs at the segment's rate (a
// drained backlog runs much faster) and lies as tightly above its own line
// as stamps did above the segment's (a congested network scatters them).
bool SampleClock::is_step(const SegmentLine& candidate) const {
  if (!candidate.own) return false;
  const double rate_ratio = candidate.slope / current_.line().slope;
  if (!(std::fabs(rate_ratio - 1.0) < kSameRateWithin)) return false;
  return candidate_jitter_.quantile(0.5) <= kStepScatter * jitter_.quantile(0.5) + kStepScatterFloor;
}

void SampleClock::end_hold_as_stall() {
  if (!holding_) return;
  current_.count_datagrams_above(held_count_, held_sum_, numbering_.last_datagram);
  jitter_.merge(held_jitter_);
  clear_hold();
}

void SampleClock::end_hold_as_step() {
  ++clock_steps_;
  close_segment();
  std::swap(current_, candidate_);
  current_.begin_at(held_first_);
  refresh_decision_line(numbering_.last_stamp);
  ++segment_count_;
  jitter_.merge(candidate_jitter_);
  clear_hold();
}

void SampleClock::clear_hold() {
  holding_ = false;
  held_count_ = 0;
  held_sum_ = 0;
  held_jitter_.clear();
  candidate_jitter_.clear();
}

void SampleClock::close_segment() {
  remember_if_longest(current_, longest_span_, longest_rate_, longest_ppm_);
  // Only a settled rate is lent to the segments that follow.
  const SegmentLine line = current_.line();
  if (line.own && line.trusted) previous_slope_ = line.slope;
  if (segment_limit_ > 0 && closed_.size() == segment_limit_) closed_.erase(closed_.begin());
  closed_.push_back(segment_of(current_, current_.last_datagram()));
}

void SampleClock::remember_if_longest(const SegmentFit& fit, double& longest, double& rate,
                                      double& ppm) const {
  const SegmentLine line = fit.line();
  if (!line.known || fit.span_datagrams() <= longest) return;
  longest = fit.span_datagrams();
  rate = nsamp_ / line.slope;
  ppm = fit.rate_uncertainty_ppm();
}

ClockSegment SampleClock::segment_of(const SegmentFit& fit, int64_t last_u) const {
  ClockSegment segment;
  segment.first_sample = fit.first_datagram() * nsamp_;
  segment.last_sample = last_u * nsamp_ + nsamp_ - 1;
  const SegmentLine line = fit.line();
  if (!line.known) return segment;
  segment.sample_rate = nsamp_ / line.slope;
  segment.t0 = line.origin_stamp + (line.intercept - line.slope * static_cast<double>(line.origin));
  return segment;
}

ClockSegment SampleClock::current_segment() const {
  if (!started_) return ClockSegment{};
  return segment_of(current_, numbering_.last_datagram);
}

double SampleClock::time_of(int64_t sample) const {
  if (started_ && sample >= current_.first_datagram() * nsamp_) {
    const ClockSegment current = current_segment();
    return current.holds(sample) ? current.time_of(sample) : kNaN;
  }
  auto after = std::upper_bound(closed_.begin(), closed_.end(), sample,
                                [](int64_t n, const ClockSegment& s) { return n < s.first_sample; });
  if (after == closed_.begin() || !(after - 1)->holds(sample)) return kNaN;
  return (after - 1)->time_of(sample);
}

SampleTiming SampleClock::timing() const {
  SampleTiming timing;
  timing.segments = closed_;
  double longest = longest_span_;
  timing.sample_rate = longest_rate_;
  timing.sample_rate_uncertainty_ppm = longest_ppm_;
  if (started_) {
    timing.segments.push_back(current_segment());
    remember_if_longest(current_, longest, timing.sample_rate, timing.sample_rate_uncertainty_ppm);
  }
  // A run still held when the fit is read counts as a stall.
  JitterHistogram jitter = jitter_;
  if (holding_) jitter.merge(held_jitter_);
  timing.jitter_median_seconds = jitter.quantile(0.5);
  timing.jitter_p99_seconds = jitter.quantile(0.99);
  timing.jitter_max_seconds = jitter.max();
  timing.datagrams = datagrams_;
  timing.segment_count = segment_count_;
  timing.clock_steps = clock_steps_;
  timing.device_restarts = device_restarts_;
  timing.late_datagrams = late_datagrams_;
  return timing;
}

SampleTiming fit_sample_clock(int32_t nsamp, const uint16_t* sequence_numbers, const double* stamps,
                              size_t count, int64_t* first_samples) {
  SampleClock clock(nsamp, 0);
  for (size_t i = 0; i < count; ++i) {
    const DatagramPosition position = clock.note(sequence_numbers[i], stamps[i]);
    if (first_samples != nullptr) first_samples[i] = position.first_sample;
  }
  return clock.timing();
}

}  // namespace kivo
