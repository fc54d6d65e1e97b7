#include "kivo/segment_fit.h"

#include <cmath>

namespace kivo {

SegmentFit::SegmentFit(size_t hull_capacity)
    : envelope_(hull_capacity), halves_{LowerEnvelope(hull_capacity), LowerEnvelope(hull_capacity)} {}

void SegmentFit::start(int64_t u, double stamp, double borrowed_slope) {
  envelope_.clear();
  started_ = true;
  first_ = origin_ = u;
  origin_stamp_ = stamp;
  borrowed_slope_ = borrowed_slope;
  lowest_offset_ = 0;
  envelope_.add(0, 0);
  for (LowerEnvelope& half : halves_) half.clear();
  halves_[u & 1].add(0, 0);
  last_ = u;
}

// Stamps are kept relative to the origin's and numbers relative to the
// origin, so the hull's arithmetic works on small numbers.
void SegmentFit::add(int64_t u, double stamp) {
  const auto x = static_cast<double>(u - origin_);
  const double y = stamp - origin_stamp_;
  envelope_.add(x, y);
  halves_[u & 1].add(x, y);
  last_ = u;
  if (!std::isnan(borrowed_slope_)) {
    const double offset = y - borrowed_slope_ * x;
    if (offset < lowest_offset_) lowest_offset_ = offset;
  }
}

void SegmentFit::count_datagrams_above(uint64_t count, double sum_after_origin, int64_t last_u) {
  envelope_.count_points_above(count, sum_after_origin);
  last_ = last_u;
}

SegmentLine SegmentFit::line() const {
  SegmentLine line;
  if (!started_) return line;
  line.origin = origin_;
  line.origin_stamp = origin_stamp_;
  // Stamps within one tick of a coarse clock can make a flat line: no rate.
  const EnvelopeLine& own = envelope_.line();
  const bool usable = own.valid && own.slope > 0;
  const bool settled = usable && envelope_.last_y() >= kSettledSeconds;
  if (settled || (usable && std::isnan(borrowed_slope_))) {
    line.known = true;
    line.own = true;
    line.trusted = settled;
    line.intercept = own.intercept;
    line.slope = own.slope;
  } else if (!std::isnan(borrowed_slope_)) {
    line.known = true;
    line.trusted = true;
    line.intercept = lowest_offset_;
    line.slope = borrowed_slope_;
  }
  return line;
}

double SegmentFit::rate_uncertainty_ppm() const {
  const SegmentLine l = line();
  const EnvelopeLine& even = halves_[0].line();
  const EnvelopeLine& odd = halves_[1].line();
  if (!l.own || !even.valid || !odd.valid) return std::nan("");
  return 1e6 * std::fabs(even.slope - odd.slope) / 2 / std::fabs(l.slope);
}

}  // namespace kivo
