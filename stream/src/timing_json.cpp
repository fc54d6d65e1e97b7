// The fitted clock as JSON: figures that may be unknown are written as null
// (JSON has no NaN) and read back as NaN.
#include "timing_json.h"

#include <cmath>

namespace kivo {
namespace {

using json_fields::field;
using json_fields::get;
using json_fields::Json;

constexpr const char* kSegmentsKey = "segments";
constexpr const char* kStampSourceKey = "stamp_source";

// The fields of one segment, in the order they are written.
struct SegmentIndex {
  const char* key;
  int64_t ClockSegment::*member;
};
struct SegmentFigure {
  const char* key;
  double ClockSegment::*member;
};
constexpr SegmentIndex kSegmentIndices[] = {
    {"first_sample", &ClockSegment::first_sample},
    {"last_sample", &ClockSegment::last_sample},
};
constexpr SegmentFigure kSegmentFigures[] = {
    {"t0", &ClockSegment::t0},
    {"sample_rate", &ClockSegment::sample_rate},
};

Json figure_json(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

double parse_figure(const Json& in, const char* name) {
  const Json& value = field(in, name);
  if (value.is_null()) return kNoTime;
  return get<double>(in, name);
}

Json segment_json(const ClockSegment& segment) {
  Json out;
  for (const SegmentIndex& f : kSegmentIndices) out[f.key] = segment.*(f.member);
  for (const SegmentFigure& f : kSegmentFigures) out[f.key] = figure_json(segment.*(f.member));
  return out;
}

ClockSegment parse_segment(const Json& in) {
  if (!in.is_object()) throw MetadataError("a timing segment is not an object");
  ClockSegment segment;
  for (const SegmentIndex& f : kSegmentIndices) segment.*(f.member) = get<int64_t>(in, f.key);
  for (const SegmentFigure& f : kSegmentFigures) segment.*(f.member) = parse_figure(in, f.key);
  return segment;
}

StampSource parse_stamp_source(const std::string& name) {
  for (StampSource source : {StampSource::receiver, StampSource::kernel}) {
    if (name == stamp_source_name(source)) return source;
  }
  throw MetadataError("unknown stamp source \"" + name + "\"");
}

}  // namespace

Json timing_json(const SampleTiming& timing) {
  Json out;
  for (const TimingFigure& f : kTimingFigures) out[f.key] = figure_json(timing.*(f.member));
  for (const TimingCount& f : kTimingCounts) out[f.key] = timing.*(f.member);
  out[kStampSourceKey] = stamp_source_name(timing.stamp_source);
  Json segments = Json::array();
  for (const ClockSegment& segment : timing.segments) segments.push_back(segment_json(segment));
  out[kSegmentsKey] = std::move(segments);
  return out;
}

SampleTiming parse_timing(const Json& in) {
  if (!in.is_object()) throw MetadataError("\"timing\" is not an object");
  SampleTiming timing;
  for (const TimingFigure& f : kTimingFigures) timing.*(f.member) = parse_figure(in, f.key);
  for (const TimingCount& f : kTimingCounts) timing.*(f.member) = get<uint64_t>(in, f.key);
  timing.stamp_source = parse_stamp_source(get<std::string>(in, kStampSourceKey));
  const Json& segments = field(in, kSegmentsKey);
  if (!segments.is_array()) throw MetadataError("field \"segments\" is not an array");
  for (const Json& segment : segments) timing.segments.push_back(parse_segment(segment));
  return timing;
}

std::string timing_json_text(const SampleTiming& timing) { return timing_json(timing).dump(2) + "\n"; }

SampleTiming parse_timing_json(const std::string& text) {
  return json_fields::parse_with(text, [](const Json& json) { return parse_timing(json); });
}

}  // namespace kivo
