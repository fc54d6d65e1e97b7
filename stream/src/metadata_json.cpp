// The metadata file's JSON text: written in a fixed field order, read back
// with every field that a reader relies on checked.
#include <cstdio>
#include <initializer_list>
#include <utility>
#include <vector>
#include <nlohmann/json.hpp>

#include "json_fields.h"
#include "kivo/metadata.h"
#include "timing_json.h"

namespace kivo {
namespace {

using json_fields::field;
using json_fields::get;
using json_fields::Json;
using json_fields::whole_number;

constexpr const char* kByteOrder = "little-endian";
constexpr const char* kSampleType = "uint16";
constexpr const char* kStampType = "float64 seconds since 1970-01-01T00:00:00Z";
constexpr const char* kTimingKey = "timing";
constexpr const char* kSlotAnchorsKey = "slot_anchors";
constexpr const char* kEventsFileKey = "events_file";
constexpr const char* kEventCountKey = "event_count";

const char* writer_name(FileKind kind) { return kind == FileKind::recorder ? "kivorec" : "velto"; }

template <typename T, size_t N>
Json array_of(const std::array<T, N>& values) {
  Json out = Json::array();
  for (const T value : values) out.push_back(static_cast<double>(value));
  return out;
}

Json filter_json(const FilterCoefficients& f) {
  Json out;
  out["b"] = array_of(f.b);
  out["a"] = array_of(f.a);
  out["stored_precision"] = "single";
  out["b_stored"] = array_of(f.b_stored);
  out["a_stored"] = array_of(f.a_stored);
  return out;
}

void put_layout(Json& out, const Metadata& m) {
  const Geometry g = m.geometry();
  out["nchans"] = m.nchans;
  out["nsamp"] = g.nsamp;
  out["datagram_size_bytes"] = g.datagram_size_bytes;
  out["slot_size_bytes"] = m.slot_bytes();
  out["slots_per_block"] = kSlotsPerBlock;
  out["block_size_bytes"] = m.block_bytes();
  out["stamped"] = is_stamped(m.kind);
  out["stamp_type"] = is_stamped(m.kind) ? Json(kStampType) : Json(nullptr);
  out["byte_order"] = kByteOrder;
  out["sample_type"] = kSampleType;
}

void put_totals(Json& out, const RecordingTotals& t, EndReason end) {
  for_each_total(t, [&](const TotalField& field, uint64_t count) { out[field.key] = count; });
  out["ended"] = end_reason_name(end);
}

// Each anchor as [slot, first_sample].
Json anchors_json(const std::vector<SlotAnchor>& anchors) {
  Json out = Json::array();
  for (const SlotAnchor& a : anchors) out.push_back(Json::array({a.slot, a.first_sample}));
  return out;
}

// ---- reading ----

template <typename T>
void expect_equal(const Json& in, const char* name, const T& wanted) {
  if (get<T>(in, name) != wanted)
    throw MetadataError(std::string("field \"") + name + "\" does not fit the channel count");
}

FileKind parse_kind(const std::string& name) {
  for (FileKind kind : {FileKind::raw, FileKind::filtered, FileKind::recorder}) {
    if (name == kind_name(kind)) return kind;
  }
  throw MetadataError("unknown kind \"" + name + "\"");
}

EndReason parse_end(const std::string& name) {
  for (int i = 0; i <= static_cast<int>(EndReason::socket_error); ++i) {
    const auto reason = static_cast<EndReason>(i);
    if (name == end_reason_name(reason)) return reason;
  }
  throw MetadataError("unknown ending \"" + name + "\"");
}

// "YYYY-MM-DDThh:mm:ss" at the start of `text`; the zone that follows is not needed.
std::tm parse_time(const std::string& text, const char* name) {
  std::tm t{};
  int year = 0, month = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &year, &month, &t.tm_mday, &t.tm_hour, &t.tm_min,
                  &t.tm_sec) != 6) {
    throw MetadataError(std::string("field \"") + name + "\" is not an ISO 8601 time");
  }
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  return t;
}

std::array<double, 5> five_numbers(const Json& in, const char* name) {
  const auto values = get<std::vector<double>>(in, name);
  if (values.size() != 5) throw MetadataError(std::string("filter field \"") + name + "\" needs 5 numbers");
  std::array<double, 5> out{};
  for (size_t i = 0; i < 5; ++i) out[i] = values[i];
  return out;
}

FilterCoefficients parse_filter(const Json& in) {
  FilterCoefficients f = coefficients_as_stored(five_numbers(in, "b"), five_numbers(in, "a"));
  const auto b_stored = five_numbers(in, "b_stored");
  const auto a_stored = five_numbers(in, "a_stored");
  for (size_t i = 0; i < 5; ++i) {
    if (static_cast<double>(f.b_stored[i]) != b_stored[i] ||
        static_cast<double>(f.a_stored[i]) != a_stored[i]) {
      throw MetadataError("filter coefficients as stored are not those given, in single precision");
    }
  }
  return f;
}

void check_layout(const Json& in, const Metadata& m) {
  const Geometry g = m.geometry();
  expect_equal(in, "nsamp", g.nsamp);
  expect_equal(in, "datagram_size_bytes", g.datagram_size_bytes);
  expect_equal(in, "slot_size_bytes", m.slot_bytes());
  expect_equal(in, "slots_per_block", kSlotsPerBlock);
  expect_equal(in, "block_size_bytes", m.block_bytes());
  expect_equal(in, "stamped", is_stamped(m.kind));
  expect_equal(in, "byte_order", std::string(kByteOrder));
  expect_equal(in, "sample_type", std::string(kSampleType));
}

std::vector<SlotAnchor> parse_anchors(const Json& in) {
  const Json& list = field(in, kSlotAnchorsKey);
  if (!list.is_array()) throw MetadataError("field \"slot_anchors\" is not an array");
  std::vector<SlotAnchor> anchors;
  for (const Json& pair : list) {
    if (!pair.is_array() || pair.size() != 2)
      throw MetadataError("a slot anchor is not [slot, first_sample]");
    const SlotAnchor a{whole_number<uint64_t>(pair[0], kSlotAnchorsKey),
                       whole_number<int64_t>(pair[1], kSlotAnchorsKey)};
    if (!anchors.empty() && a.slot <= anchors.back().slot) {
      throw MetadataError("the slot anchors are not in the order of their slots");
    }
    anchors.push_back(a);
  }
  return anchors;
}

EventsSummary parse_events(const Json& in) {
  EventsSummary events;
  events.rows = get<uint64_t>(in, kEventCountKey);
  const Json& file = field(in, kEventsFileKey);
  if (!file.is_null()) events.file = get<std::string>(in, kEventsFileKey);
  return events;
}

RecordingTotals parse_totals(const Json& in) {
  RecordingTotals t;
  for_each_total(t, [&](const TotalField& field, uint64_t& count) {
    if (field.in_every_file || in.contains(field.key)) count = get<uint64_t>(in, field.key);
  });
  return t;
}

Metadata parse_object(const Json& in) {
  if (!in.is_object()) throw MetadataError("not a JSON object");
  if (get<std::string>(in, "format") != kMetadataFormat) throw MetadataError("not a Kivo metadata file");
  if (get<int>(in, "format_version") < 1) throw MetadataError("unknown format version");
  Metadata m;
  m.kind = parse_kind(get<std::string>(in, "kind"));
  m.nchans = get<uint32_t>(in, "nchans");
  if (!is_supported_channel_count(m.nchans)) throw MetadataError("nchans must be 1 to 16");
  check_layout(in, m);
  m.sample_file = get<std::string>(in, "sample_file");
  m.companion_file = get<std::string>(in, "companion_file");
  m.port = get<int>(in, "port");
  m.started.local = parse_time(get<std::string>(in, "start_time_local"), "start_time_local");
  m.started.utc = parse_time(get<std::string>(in, "start_time_utc"), "start_time_utc");
  m.host = get<std::string>(in, "host");
  m.software_version = get<std::string>(in, "software_version");
  if (m.kind == FileKind::filtered) m.filter = parse_filter(field(in, "filter"));
  m.totals = parse_totals(in);
  m.end = parse_end(get<std::string>(in, "ended"));
  if (in.contains(kTimingKey)) m.timing = parse_timing(field(in, kTimingKey));
  if (in.contains(kSlotAnchorsKey)) m.slot_anchors = parse_anchors(in);
  if (in.contains(kEventCountKey)) m.events = parse_events(in);
  return m;
}

}  // namespace

std::string metadata_json_text(const Metadata& m) {
  Json out;
  out["format"] = kMetadataFormat;
  out["format_version"] = kMetadataVersion;
  out["kind"] = kind_name(m.kind);
  out["sample_file"] = m.sample_file;
  out["companion_file"] = m.companion_file;
  put_layout(out, m);
  out["port"] = m.port;
  out["start_time_local"] = iso8601_local(m.started);
  out["start_time_utc"] = iso8601_utc(m.started);
  out["host"] = m.host;
  out["writer"] = writer_name(m.kind);
  out["software_version"] = m.software_version;
  if (m.filter) out["filter"] = filter_json(*m.filter);
  put_totals(out, m.totals, m.end);
  if (m.timing) out[kTimingKey] = timing_json(*m.timing);
  if (m.slot_anchors) out[kSlotAnchorsKey] = anchors_json(*m.slot_anchors);
  if (m.events) {
    out[kEventsFileKey] = m.events->file.empty() ? Json(nullptr) : Json(m.events->file);
    out[kEventCountKey] = m.events->rows;
  }
  // Invalid UTF-8 in a path or host name is replaced rather than refused.
  return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

Metadata parse_metadata_json(const std::string& text) {
  return json_fields::parse_with(text, [](const Json& json) { return parse_object(json); });
}

}  // namespace kivo
