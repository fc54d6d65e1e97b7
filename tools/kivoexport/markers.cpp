#include "markers.h"

#include <algorithm>
#include <cmath>

namespace kivo::exporter {
namespace {

std::string stimulus_code(uint64_t value) {
  std::string digits = std::to_string(value);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), ' ');
  return "S" + digits;
}

// The device's sample at time `t`, on the segment whose samples span it.
std::optional<int64_t> sample_at_time(const kivo::SampleTiming& clock, double t) {
  for (const kivo::ClockSegment& s : clock.segments) {
    if (!(s.sample_rate > 0) || s.last_sample < s.first_sample) continue;
    const double n = std::floor((t - s.t0) * s.sample_rate);
    if (n >= static_cast<double>(s.first_sample) && n <= static_cast<double>(s.last_sample)) {
      return static_cast<int64_t>(n);
    }
  }
  return std::nullopt;
}

std::string where(const Event& e) { return "line " + std::to_string(e.line); }

// The row of an event, or why it has none.
std::optional<uint64_t> row_of_event(const Event& e, const Plan& plan, const kivo::SampleTiming* clock,
                                     std::string& why) {
  if (e.file_row) {
    const uint64_t file_rows = plan.slots * static_cast<uint64_t>(plan.nsamp);
    if (*e.file_row >= file_rows) {
      why = "its sample " + std::to_string(*e.file_row) + " lies beyond the file's " +
            std::to_string(file_rows) + " rows";
      return std::nullopt;
    }
    const auto row = plan.row_of_file_row(*e.file_row);
    if (!row) why = "its sample lies in the stale slots at the end of the file";
    return row;
  }
  if (!e.stamp) {
    why = "it has neither a sample nor a stamp";
    return std::nullopt;
  }
  const auto sample = clock ? sample_at_time(*clock, *e.stamp) : std::nullopt;
  const auto row = sample ? plan.row_of_sample(*sample) : std::nullopt;
  if (!row) why = "it has no sample, and its stamp lies outside the recording's fitted clock";
  return row;
}

int rank(MarkerType type) {
  switch (type) {
    case MarkerType::new_segment: return 0;
    case MarkerType::bad_interval: return 1;
    case MarkerType::stimulus:
    case MarkerType::comment: break;
  }
  return 2;  // a stimulus keeps its comment right behind it
}

std::string break_description(const Boundary& b) {
  if (b.place == kivo::DatagramPlace::restart) return "device restart";
  if (b.missing < 0) return "out of order";
  return "gap of " + std::to_string(b.missing) + " samples";
}

std::string break_note(const Boundary& b) {
  if (b.place == kivo::DatagramPlace::restart) return "the device started its numbering afresh";
  if (b.missing < 0) {
    return "the data step back " + std::to_string(-b.missing) +
           " samples (datagrams that arrived out of order)";
  }
  return std::to_string(b.missing) + " samples missing before it";
}

}  // namespace

double time_of_row(const Plan& plan, const kivo::SampleTiming* clock, uint64_t row) {
  const uint64_t n = static_cast<uint64_t>(plan.nsamp);
  if (clock == nullptr || row / n >= plan.first_samples.size()) return kivo::kNoTime;
  return kivo::sample_time(*clock, plan.first_samples[row / n] + static_cast<int64_t>(row % n));
}

PlacedEvents place_events(const std::vector<Event>& events, const Plan& plan,
                          const kivo::SampleTiming* clock) {
  PlacedEvents out;
  for (const Event& e : events) {
    std::string why;
    const auto row = row_of_event(e, plan, clock, why);
    if (!row) {
      out.left_out.push_back(where(e) + " (value " + std::to_string(e.value) + "): " + why);
      continue;
    }
    ++out.placed;
    if (!e.file_row) ++out.placed_by_stamp;
    out.markers.push_back({MarkerType::stimulus, stimulus_code(e.value), *row});
    if (!e.text.empty()) out.markers.push_back({MarkerType::comment, e.text, *row});
  }
  return out;
}

std::vector<Marker> break_markers(const Plan& plan, const kivo::SampleTiming* clock,
                                  std::vector<BreakNote>& notes) {
  std::vector<Marker> out;
  if (plan.rows() == 0) return out;
  out.push_back({MarkerType::new_segment, "", 0, 1, time_of_row(plan, clock, 0)});
  for (const Boundary& b : plan.boundaries) {
    out.push_back({MarkerType::bad_interval, break_description(b), b.row - 1, 2});
    out.push_back({MarkerType::new_segment, "", b.row, 1, time_of_row(plan, clock, b.row)});
    notes.push_back({b.row, break_note(b)});
  }
  return out;
}

std::vector<Marker> in_row_order(std::vector<Marker> breaks, const std::vector<Marker>& events) {
  std::vector<Marker> all = std::move(breaks);
  all.insert(all.end(), events.begin(), events.end());
  std::stable_sort(all.begin(), all.end(), [](const Marker& a, const Marker& b) {
    return a.row != b.row ? a.row < b.row : rank(a.type) < rank(b.type);
  });
  return all;
}

}  // namespace kivo::exporter
