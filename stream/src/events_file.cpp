#include "kivo/events_file.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace kivo {
namespace {

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Seconds to the microsecond with a point, whatever the process's locale
// (a host may have set one that writes a comma): counted in whole
// microseconds, which a double holds exactly to beyond the year 2200.
std::string number_or_na(const std::optional<double>& value) {
  if (!value || !std::isfinite(*value) || std::fabs(*value) > 9e12) return kEventNotAvailable;
  const long long micro = std::llround(*value * 1e6);
  const unsigned long long magnitude = static_cast<unsigned long long>(micro < 0 ? -micro : micro);
  char text[48];
  std::snprintf(text, sizeof text, "%s%llu.%06llu", micro < 0 ? "-" : "", magnitude / 1000000ULL,
                magnitude % 1000000ULL);
  return text;
}

template <typename Fields>
std::string joined_by_tabs(const Fields& fields) {
  std::string line;
  const char* separator = "";
  for (const auto& field : fields) {
    line += separator;
    line += field;
    separator = "\t";
  }
  return line + "\n";
}

std::string text_field(const std::string& text) {
  if (text.empty()) return kEventNotAvailable;
  std::string out = text;
  for (char& c : out) {
    if (c == '\t' || c == '\n' || c == '\r' || c == '\0') c = ' ';
  }
  return out;
}

}  // namespace

std::string events_path_for(const std::string& sample_path) {
  for (const char* tail : {"_kivo_filtered_samples.dat", "_kivo_samples.dat"}) {
    if (ends_with(sample_path, tail)) {
      return sample_path.substr(0, sample_path.size() - std::strlen(tail)) + "_kivo_events.tsv";
    }
  }
  const size_t slash = sample_path.find_last_of("/\\");
  const size_t dot = sample_path.find_last_of('.');
  const bool has_extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_extension ? sample_path.substr(0, dot) : sample_path) + "_kivo_events.tsv";
}

std::string events_header_line() { return joined_by_tabs(kEventColumns); }

// The fields in the order of kEventColumns.
std::string event_line(const EventRow& row) {
  const std::string fields[] = {number_or_na(row.onset),
                                kEventNotAvailable,
                                row.sample ? std::to_string(*row.sample) : kEventNotAvailable,
                                std::to_string(row.value),
                                number_or_na(row.stamp),
                                text_field(row.text)};
  static_assert(std::size(fields) == std::size(kEventColumns), "one field per column");
  return joined_by_tabs(fields);
}

void EventsFile::reset(const std::string& path) {
  file_.close();
  path_ = path;
  rows_ = 0;
}

// The header goes in the same write as the first row: a file that exists
// has both.
int EventsFile::append(const EventRow& row) {
  std::string text = event_line(row);
  if (!file_.is_open()) {
    if (const int error = file_.open(path_, FileMode::create_new)) return error;
    text.insert(0, events_header_line());
  }
  const int error = file_.append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (error == 0) ++rows_;
  return error;
}

}  // namespace kivo
