// The events file beside a recording (<base>_kivo_events.tsv): one marked
// event a row, in the BIDS events layout - a header row naming the
// tab-separated columns onset, duration, sample, value, stamp and text, and
// "n/a" where a value is not known.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kivo/events_file.h"

namespace kivo::exporter {

struct Event {
  uint64_t line = 0;                 // in the file, from 1 (the header row)
  std::optional<uint64_t> file_row;  // "sample": the row of the file's samples, from 0
  uint64_t value = 0;
  std::optional<double> stamp;  // seconds since 1970
  std::string text;             // empty for "n/a"
};

using kivo::events_path_for;

struct EventsRead {
  bool present = false;  // false: there is no events file
  std::vector<Event> events;
  std::string error;  // empty when the file could be read
};

// Reads the events file at `path`; one that is absent holds no events.
EventsRead read_events(const std::string& path);
// The same for the text of one.
EventsRead parse_events(const std::string& text);

}  // namespace kivo::exporter
