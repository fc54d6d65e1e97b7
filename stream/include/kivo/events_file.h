// The events file beside a recording (<base>_kivo_events.tsv): one marked
// event a row, in the BIDS events layout - a header row naming the
// tab-separated columns, then onset, duration, sample, value, stamp and text,
// with "n/a" where a value is not known. Each row reaches the file with one
// write of its own, so a process that dies keeps every row written before.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kivo/block_file.h"

namespace kivo {

// The columns, in the order of the file; the writer and the readers use
// these names.
inline constexpr const char* kEventColumns[] = {"onset", "duration", "sample", "value", "stamp", "text"};
inline constexpr const char* kEventNotAvailable = "n/a";
// The largest value code and the longest text (bytes) of an event.
inline constexpr uint64_t kMaxEventValue = 4294967295U;
inline constexpr size_t kMaxEventTextBytes = 255;

// "x/y_kivo_samples.dat" and "x/y_kivo_filtered_samples.dat" -> "x/y_kivo_events.tsv";
// another name loses its extension and gets "_kivo_events.tsv".
std::string events_path_for(const std::string& sample_path);

struct EventRow {
  std::optional<double> onset;     // seconds from the recording's first sample
  std::optional<uint64_t> sample;  // the row of the raw file's samples, from 0
  uint64_t value = 0;
  double stamp = 0;  // seconds since 1970
  std::string text;  // empty: n/a
};

// The header row and an event's row, each with its line end. A tab or a
// line end (or a NUL) in the text becomes a space: it would split the row.
std::string events_header_line();
std::string event_line(const EventRow& row);

// ---- reading ----

struct Event {
  uint64_t line = 0;                 // in the file, from 1 (the header row)
  std::optional<uint64_t> file_row;  // "sample": the row of the file's samples, from 0
  uint64_t value = 0;
  std::optional<double> stamp;  // seconds since 1970
  std::string text;             // empty for "n/a"
};

struct EventsRead {
  bool present = false;  // false: there is no events file
  std::vector<Event> events;
  std::string error;  // empty when the file could be read
};

// Reads the events file at `path`; one that is absent holds no events.
EventsRead read_events(const std::string& path);
// The same for the text of one.
EventsRead parse_events(const std::string& text);

// ---- writing ----

// The events file of one recording, created with its header at the first
// row. One thread at a time (the host thread).
class EventsFile {
 public:
  // Forgets the file before: the next append() creates the one at `path`.
  void reset(const std::string& path);
  // Writes the row (after the header, the first time). Returns 0 or the
  // platform's error code; a row that cannot be written is not counted.
  int append(const EventRow& row);
  // The rows written since reset().
  uint64_t rows() const { return rows_; }
  const std::string& path() const { return path_; }
  // Closes the file; the path and the count stay.
  void close() { file_.close(); }

 private:
  BlockFile file_;
  std::string path_;
  uint64_t rows_ = 0;
};

}  // namespace kivo
