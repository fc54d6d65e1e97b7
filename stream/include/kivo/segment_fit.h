// The clock line of one segment: the lower envelope of (datagram number,
// stamp) over the segment's datagrams, or, while the segment is too short to
// fix its own rate, the rate of the segment before it drawn through its
// lowest point.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivo/lower_envelope.h"

namespace kivo {

// A segment's own rate is used once its stamps span this long: a second of
// stamps fixes the slope to within the stamps' floor noise over a second.
inline constexpr double kSettledSeconds = 1.0;

// time of datagram u = origin_stamp + intercept + slope * (u - origin)
struct SegmentLine {
  bool known = false;
  bool trusted = false;  // settled, or borrowed from a settled segment
  bool own = false;      // from this segment's stamps alone
  int64_t origin = 0;    // the first datagram fitted
  double origin_stamp = 0;
  double intercept = 0;
  double slope = 0;  // seconds per datagram

  double time_of_datagram(int64_t u) const {
    return origin_stamp + (intercept + slope * static_cast<double>(u - origin));
  }
};

// One thread at a time; start() and add() never allocate.
class SegmentFit {
 public:
  explicit SegmentFit(size_t hull_capacity);

  // Begins a segment at datagram u; borrowed_slope is the rate of the
  // segment before in seconds per datagram, or NaN when there is none.
  void start(int64_t u, double stamp, double borrowed_slope);
  // Lets the segment begin at an earlier datagram u than its first fitted
  // one (datagrams that were held out of the fit).
  void begin_at(int64_t u) { first_ = u; }
  // Adds datagram u (above every datagram added) and its stamp.
  void add(int64_t u, double stamp);
  // Counts `count` datagrams up to `last_u` that lay above the line; they
  // move the envelope's mean but not its hull. sum_after_origin: the sum of
  // their numbers counted from origin().
  void count_datagrams_above(uint64_t count, double sum_after_origin, int64_t last_u);

  bool started() const { return started_; }
  int64_t first_datagram() const { return first_; }
  int64_t last_datagram() const { return last_; }
  int64_t origin() const { return origin_; }
  double origin_stamp() const { return origin_stamp_; }
  // Datagram numbers spanned by the points added.
  double span_datagrams() const { return envelope_.last_x() - envelope_.first_x(); }
  SegmentLine line() const;
  // The own rate's uncertainty in parts per million: half the difference
  // between the rates of the even- and the odd-numbered datagrams' own
  // envelopes. It measures the scatter of independent delays, not a queue
  // that delays many datagrams alike. NaN when the line is not the
  // segment's own.
  double rate_uncertainty_ppm() const;

 private:
  LowerEnvelope envelope_;
  LowerEnvelope halves_[2];  // even- and odd-numbered datagrams
  bool started_ = false;
  int64_t first_ = 0;   // the segment's first datagram
  int64_t origin_ = 0;  // its first fitted one
  int64_t last_ = 0;
  double origin_stamp_ = 0;
  double borrowed_slope_ = 0;  // NaN: none
  double lowest_offset_ = 0;   // lowest stamp above the borrowed line through the origin
};

}  // namespace kivo
