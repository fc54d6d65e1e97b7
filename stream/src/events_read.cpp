#include "kivo/events_file.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kivo {
namespace {

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(line.substr(start, tab - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

std::optional<uint64_t> whole_number(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return value;
}

std::optional<double> finite_number(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

// The columns an event is read from; -1 where the file has none.
struct Columns {
  int sample = -1;
  int value = -1;
  int stamp = -1;
  int text = -1;
};

std::string find_columns(const std::vector<std::string>& header, Columns& c) {
  for (size_t i = 0; i < header.size(); ++i) {
    const std::string& name = header[i];
    int* column = name == "sample"  ? &c.sample
                  : name == "value" ? &c.value
                  : name == "stamp" ? &c.stamp
                  : name == "text"  ? &c.text
                                    : nullptr;
    if (column != nullptr) *column = static_cast<int>(i);
  }
  if (c.value < 0) return "its header row names no \"value\" column";
  if (c.sample < 0 && c.stamp < 0) return "its header row names neither a \"sample\" nor a \"stamp\" column";
  return {};
}

std::string field_of(const std::vector<std::string>& fields, int column) {
  if (column < 0 || static_cast<size_t>(column) >= fields.size()) return kEventNotAvailable;
  return fields[static_cast<size_t>(column)];
}

std::string parse_row(const std::vector<std::string>& fields, const Columns& c, Event& e) {
  const std::string value = field_of(fields, c.value);
  const auto code = whole_number(value);
  if (!code) return "its value \"" + value + "\" is not a whole number from 0";
  e.value = *code;
  const std::string sample = field_of(fields, c.sample);
  if (sample != kEventNotAvailable) {
    if (!(e.file_row = whole_number(sample)))
      return "its sample \"" + sample + "\" is not a row from 0 or n/a";
  }
  const std::string stamp = field_of(fields, c.stamp);
  if (stamp != kEventNotAvailable) {
    if (!(e.stamp = finite_number(stamp))) return "its stamp \"" + stamp + "\" is not a time or n/a";
  }
  const std::string text = field_of(fields, c.text);
  if (text != kEventNotAvailable) e.text = text;
  return {};
}

}  // namespace

EventsRead parse_events(const std::string& text) {
  EventsRead out;
  out.present = true;
  std::istringstream in(text);
  std::string line;
  Columns columns;
  uint64_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (number == 1) {
      if (line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);  // a byte-order mark
      if (const std::string error = find_columns(split_tabs(line), columns); !error.empty()) {
        out.error = error;
        return out;
      }
      continue;
    }
    if (line.empty()) continue;
    Event e;
    e.line = number;
    if (const std::string error = parse_row(split_tabs(line), columns, e); !error.empty()) {
      out.error = "line " + std::to_string(number) + ": " + error;
      return out;
    }
    out.events.push_back(std::move(e));
  }
  if (number == 0) out.error = "it has no header row";
  return out;
}

EventsRead read_events(const std::string& path) {
  std::error_code absent;
  if (!std::filesystem::exists(path, absent)) return {};
  EventsRead unreadable;
  unreadable.present = true;
  unreadable.error = "it cannot be read";
  std::ifstream in(path, std::ios::binary);
  if (!in) return unreadable;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return unreadable;
  return parse_events(text.str());
}

}  // namespace kivo
