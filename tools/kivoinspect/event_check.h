// The events file beside a sample file, checked against the file's timing:
// each event's row, placed on the fitted clock, lies near its stamp.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analysis.h"
#include "kivo/events_file.h"
#include "kivo/sample_timing.h"

namespace kivo::inspect {

struct EventTally {
  bool present = false;  // there is an events file
  uint64_t rows = 0;
  uint64_t checked = 0;         // with a sample and a stamp, placed on the clock
  uint64_t without_sample = 0;  // "n/a": made before the clock had a line
  std::vector<std::string> problems;
};

// The slots that hold the events' samples, for analyse().
std::set<uint64_t> slots_of_events(const kivo::EventsRead& events, int32_t nsamp);

// `timing`: the metadata's fit, else the one made from the stamps; absent
// for a file without either, when no event is checked.
EventTally check_events(const kivo::EventsRead& events, const Summary& summary,
                        const std::optional<kivo::SampleTiming>& timing);

}  // namespace kivo::inspect
