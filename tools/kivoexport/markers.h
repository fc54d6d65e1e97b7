// The markers of an export: a new segment where the data begin and wherever
// they resume after a break, a bad interval over the two samples around each
// break, and each event of the events file as a stimulus at its row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "events.h"
#include "kivo/sample_timing.h"
#include "plan.h"

namespace kivo::exporter {

enum class MarkerType { new_segment, bad_interval, stimulus, comment };

struct Marker {
  MarkerType type = MarkerType::stimulus;
  std::string description;
  uint64_t row = 0;             // from 0
  uint64_t size = 1;            // rows
  double time = kivo::kNoTime;  // a new segment's first sample, seconds since 1970
};

// Where a break shows in the markers, for the header's list of them.
struct BreakNote {
  uint64_t row = 0;
  std::string description;
};

struct PlacedEvents {
  std::vector<Marker> markers;  // a stimulus each, and a comment after it with its text
  uint64_t placed = 0;
  uint64_t placed_by_stamp = 0;       // events without a sample, placed by their stamp
  std::vector<std::string> left_out;  // a line for each event that found no row, saying why
};

// `clock` (may be null) gives the times of the device's samples.
PlacedEvents place_events(const std::vector<Event>& events, const Plan& plan,
                          const kivo::SampleTiming* clock);

// The new segments and bad intervals of the plan's breaks; `notes` gets a
// line for each break.
std::vector<Marker> break_markers(const Plan& plan, const kivo::SampleTiming* clock,
                                  std::vector<BreakNote>& notes);

// Both, in the order of their rows.
std::vector<Marker> in_row_order(std::vector<Marker> breaks, const std::vector<Marker>& events);

// The time of a row's sample on `clock`; NaN where it has none.
double time_of_row(const Plan& plan, const kivo::SampleTiming* clock, uint64_t row);

}  // namespace kivo::exporter
