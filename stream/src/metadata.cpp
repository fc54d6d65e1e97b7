// The metadata model: names, derived sizes, times, and the file's life.
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "kivo/metadata.h"
#include "kivo/metadata_platform.h"
#include "kivo/version.h"

namespace kivo {
namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// A broken-down time read as if it were UTC, in seconds since 1970.
int64_t seconds_as_if_utc(const std::tm& t) {
  return days_from_civil(t.tm_year + 1900LL, t.tm_mon + 1, t.tm_mday) * 86400 + t.tm_hour * 3600LL +
         t.tm_min * 60LL + t.tm_sec;
}

std::string date_and_time(const std::tm& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

}  // namespace

const char* kind_name(FileKind kind) {
  switch (kind) {
    case FileKind::raw: return "raw";
    case FileKind::filtered: return "filtered";
    case FileKind::recorder: return "recorder";
  }
  return "raw";
}

const char* end_reason_name(EndReason reason) {
  switch (reason) {
    case EndReason::running: return "running";
    case EndReason::closed: return "closed";
    case EndReason::unloaded: return "unloaded";
    case EndReason::ctrl_c: return "ctrl-c";
    case EndReason::signal: return "signal";
    case EndReason::write_error: return "write error";
    case EndReason::receive_error: return "receive error";
    case EndReason::socket_error: return "socket error";
  }
  return "running";
}

bool is_stamped(FileKind kind) { return kind != FileKind::recorder; }

FilterCoefficients coefficients_as_stored(const std::array<double, 5>& b, const std::array<double, 5>& a) {
  FilterCoefficients c;
  c.b = b;
  c.a = a;
  for (size_t i = 0; i < 5; ++i) {
    c.b_stored[i] = static_cast<float>(b[i]);
    c.a_stored[i] = static_cast<float>(a[i]);
  }
  return c;
}

int32_t Metadata::slot_bytes() const { return geometry().slot_bytes(is_stamped(kind)); }

Metadata make_metadata(FileKind kind, uint32_t nchans, int port, const TimeReading& started,
                       const std::string& sample_path) {
  Metadata m;
  m.kind = kind;
  m.nchans = nchans;
  m.port = port;
  m.started = started;
  m.host = host_name();
  m.software_version = KIVO_VERSION;
  m.sample_file = base_name(sample_path);
  return m;
}

std::string metadata_path_for(const std::string& sample_path) {
  static const std::string kSampleSuffix = ".dat";
  const size_t n = sample_path.size();
  if (n >= kSampleSuffix.size() &&
      sample_path.compare(n - kSampleSuffix.size(), kSampleSuffix.size(), kSampleSuffix) == 0) {
    return sample_path.substr(0, n - kSampleSuffix.size()) + ".json";
  }
  return sample_path + ".json";
}

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string iso8601_local(const TimeReading& reading) {
  const int64_t offset_minutes = (seconds_as_if_utc(reading.local) - seconds_as_if_utc(reading.utc)) / 60;
  const int64_t magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset_minutes < 0 ? '-' : '+',
                static_cast<int>(magnitude / 60), static_cast<int>(magnitude % 60));
  return date_and_time(reading.local) + zone;
}

std::string iso8601_utc(const TimeReading& reading) { return date_and_time(reading.utc) + "Z"; }

int MetadataFile::start(const std::string& sample_path, const Metadata& metadata) {
  metadata_ = metadata;
  path_ = metadata_path_for(sample_path);
  active_ = true;
  const int error = replace_file_atomically(path_, metadata_json_text(metadata_));
  written_ = error == 0;
  return error;
}

void MetadataFile::set_timing(const SampleTiming& timing, std::optional<std::vector<SlotAnchor>> anchors) {
  metadata_.timing = timing;
  metadata_.slot_anchors = std::move(anchors);
}

int MetadataFile::finish(const RecordingTotals& totals, EndReason end) {
  if (!active_) return 0;
  active_ = false;
  metadata_.totals = totals;
  metadata_.end = end;
  const int error = replace_file_atomically(path_, metadata_json_text(metadata_));
  if (error == 0) written_ = true;
  return error;
}

}  // namespace kivo
