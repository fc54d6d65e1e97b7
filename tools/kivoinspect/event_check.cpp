#include "event_check.h"

#include <cmath>

namespace kivo::inspect {
namespace {

std::string at_line(const kivo::Event& e) {
  return "the event on line " + std::to_string(e.line) + " of the events file";
}

// The clock lines fitted after the recording and the one a mark was placed
// on at its call differ by a little of the stamps' jitter; a row a whole
// datagram or more away from its stamp is misplaced.
double allowed_offset(const kivo::SampleTiming& timing, int32_t nsamp) {
  const double jitter = std::isfinite(timing.jitter_max_seconds) ? timing.jitter_max_seconds : 0.0;
  return 2.0 * nsamp / timing.sample_rate + jitter;
}

}  // namespace

std::set<uint64_t> slots_of_events(const kivo::EventsRead& events, int32_t nsamp) {
  std::set<uint64_t> slots;
  for (const kivo::Event& e : events.events) {
    if (e.file_row) slots.insert(*e.file_row / static_cast<uint64_t>(nsamp));
  }
  return slots;
}

EventTally check_events(const kivo::EventsRead& events, const Summary& summary,
                        const std::optional<kivo::SampleTiming>& timing) {
  EventTally t;
  t.present = events.present;
  t.rows = events.events.size();
  if (!events.error.empty()) t.problems.push_back("the events file cannot be read: " + events.error);
  const int32_t nsamp = summary.layout.geometry.nsamp;
  for (const kivo::Event& e : events.events) {
    if (!e.file_row) {
      ++t.without_sample;
      continue;
    }
    const uint64_t slot = *e.file_row / static_cast<uint64_t>(nsamp);
    if (slot >= summary.extent.slots) {
      t.problems.push_back(at_line(e) + " names row " + std::to_string(*e.file_row) + ", beyond the file");
      continue;
    }
    const auto first = summary.first_samples.find(slot);
    if (!e.stamp || !timing || !(timing->sample_rate > 0) || first == summary.first_samples.end()) continue;
    const double row_time = kivo::sample_time(
        *timing, first->second + static_cast<int64_t>(*e.file_row % static_cast<uint64_t>(nsamp)));
    if (std::isnan(row_time)) continue;
    ++t.checked;
    const double off = row_time - *e.stamp;
    if (std::fabs(off) > allowed_offset(*timing, nsamp)) {
      t.problems.push_back(at_line(e) + ": its row " + std::to_string(*e.file_row) + " is " +
                           std::to_string(off) + " s from its stamp on the fitted clock");
    }
  }
  return t;
}

}  // namespace kivo::inspect
