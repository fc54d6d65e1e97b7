#include "kivo/event_placement.h"

#include <cmath>

namespace kivo {

EventRow place_event(double stamp, const ClockLines& lines, const FileRows& rows) {
  EventRow row;
  row.stamp = stamp;
  const ClockSegment& line = lines.current;
  if (!rows.known || line.first_sample > line.last_sample || !(line.sample_rate > 0)) return row;
  const double n = std::floor((stamp - line.t0) * line.sample_rate);
  const double onset = stamp - line.time_of(rows.first_sample);
  if (!std::isfinite(n) || !std::isfinite(onset) || std::fabs(n) > 9e18) return row;
  row.sample = rows.row_of(static_cast<int64_t>(n));
  row.onset = onset;
  return row;
}

}  // namespace kivo
