#include "report.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <sstream>
#include <nlohmann/json.hpp>

#include "kivo/sample_timing.h"

namespace kivo::inspect {
namespace {

using Json = nlohmann::ordered_json;

std::string fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string slot_list(const std::vector<uint64_t>& slots, uint64_t total) {
  std::string out;
  for (const uint64_t k : slots) out += " " + std::to_string(k);
  if (total > slots.size()) out += " ...";
  return out;
}

void put_line(std::ostringstream& out, const char* label, const std::string& text) {
  char head[32];
  std::snprintf(head, sizeof head, "  %-13s ", label);
  out << head << text << "\n";
}

std::string layout_text(const Layout& l) {
  return std::to_string(l.geometry.nchans) + " (" + std::to_string(l.geometry.nsamp) +
         " samples per channel, " + std::to_string(l.geometry.datagram_size_bytes) + "-byte datagrams in " +
         std::to_string(l.slot_bytes) + "-byte slots)";
}

std::string extent_text(const Extent& e) {
  std::string text =
      std::to_string(e.slots) + " slots: " + std::to_string(e.whole_blocks) + " whole blocks, ";
  text += e.partial_slots ? "a partial block of " + std::to_string(e.partial_slots) + " slots"
                          : "no partial block";
  if (e.trailing_bytes) text += ", " + std::to_string(e.trailing_bytes) + " bytes beyond the last whole slot";
  return text;
}

std::string sequence_text(const Summary& s) {
  if (!s.first_sequence) return "no datagrams";
  const SequenceGaps& g = s.gaps;
  std::string text = std::to_string(*s.first_sequence) + " to " + std::to_string(*s.last_sequence) + "; ";
  if (g.count == 0) return text + "no gaps";
  text += std::to_string(g.count) + " gaps, " + std::to_string(g.missing) + " numbers missing; ";
  if (g.late != 0 || g.repeated != 0) {
    text += std::to_string(g.late) + " late (reordered), " + std::to_string(g.repeated) + " repeated; ";
  }
  text += "largest " + std::to_string(g.largest) + " before slot " + std::to_string(g.largest_at) +
          " (block " + std::to_string(g.largest_at / kivo::kSlotsPerBlock) + "); at slots" +
          slot_list(g.first_at, g.count);
  return text;
}

// The fit shown: from the stamps where the file has them, else the
// metadata's; the stamp source is the metadata's, as stamps do not tell it.
struct ShownTiming {
  std::optional<kivo::SampleTiming> timing;
  const char* from = nullptr;               // "stamps" or "metadata"
  std::optional<kivo::StampSource> source;  // unknown without the metadata's fit
};

ShownTiming shown_timing(const Source& source, const Summary& s) {
  ShownTiming shown;
  const std::optional<kivo::SampleTiming> stated = source.metadata ? source.metadata->timing : std::nullopt;
  if (stated) shown.source = stated->stamp_source;
  if (s.fitted) {
    shown.timing = s.fitted;
    shown.from = "stamps";
  } else if (stated) {
    shown.timing = stated;
    shown.from = "metadata";
  }
  return shown;
}

std::string duration_text(double seconds) {
  if (std::isnan(seconds)) return "unknown";
  return seconds < 1e-3 ? fixed(seconds * 1e6, 0) + " us" : fixed(seconds * 1e3, 3) + " ms";
}

std::string timing_text(const ShownTiming& shown) {
  if (!shown.timing) return "none (no stamps, and no fit in the metadata)";
  const kivo::SampleTiming& t = *shown.timing;
  if (t.segments.empty()) return "none (no datagrams)";
  std::string text = std::isnan(t.sample_rate) ? std::string("rate unknown")
                                               : fixed(t.sample_rate, 4) + " samples/s per channel";
  if (!std::isnan(t.sample_rate_uncertainty_ppm))
    text += " (+-" + fixed(t.sample_rate_uncertainty_ppm, 3) + " ppm)";
  text += "; jitter above the line " + duration_text(t.jitter_median_seconds) + " median, " +
          duration_text(t.jitter_p99_seconds) + " 99th percentile, " + duration_text(t.jitter_max_seconds) +
          " max; " + std::to_string(t.segment_count) + (t.segment_count == 1 ? " segment" : " segments") +
          " (" + std::to_string(t.clock_steps) + " clock steps, " + std::to_string(t.device_restarts) +
          " device restarts); ";
  text += shown.source ? std::string(kivo::stamp_source_name(*shown.source)) + " stamps"
                       : "stamps of unknown source";
  return text + ", fitted from the " + shown.from;
}

Json timing_json(const ShownTiming& shown) {
  if (!shown.timing) return nullptr;
  Json out = Json::parse(kivo::timing_json_text(*shown.timing));
  out["stamp_source"] = shown.source ? Json(kivo::stamp_source_name(*shown.source)) : Json(nullptr);
  out["fitted_from"] = shown.from;
  return out;
}

std::string totals_text(const kivo::Metadata& m) {
  std::string text = std::string("ended ") + kivo::end_reason_name(m.end) + ":";
  const char* separator = " ";
  kivo::for_each_total(m.totals, [&](const kivo::TotalField& field, uint64_t count) {
    text += separator + std::to_string(count) + " " + field.words;
    separator = ", ";
  });
  return text;
}

void channel_table(std::ostringstream& out, const Summary& s) {
  if (s.channels.empty()) return;
  out << "  channel  minimum  maximum       mean\n";
  for (size_t ch = 0; ch < s.channels.size(); ++ch) {
    const ChannelStats& c = s.channels[ch];
    char line[96];
    std::snprintf(line, sizeof line, "  %7zu  %7u  %7u  %9.2f\n", ch, c.minimum, c.maximum, c.mean);
    out << line;
  }
}

void findings_text(std::ostringstream& out, const std::vector<std::string>& problems,
                   const std::vector<std::string>& notes) {
  for (const auto& note : notes) out << "  note: " << note << "\n";
  for (const auto& problem : problems) out << "  INCONSISTENT: " << problem << "\n";
  out << (problems.empty() ? "consistent\n" : "inconsistent\n");
}

Json optional_number(const std::optional<double>& value) { return value ? Json(*value) : Json(nullptr); }

Json metadata_json(const std::optional<kivo::Metadata>& metadata) {
  if (!metadata) return nullptr;
  Json m;
  m["ended"] = kivo::end_reason_name(metadata->end);
  kivo::for_each_total(metadata->totals,
                       [&](const kivo::TotalField& field, uint64_t count) { m[field.key] = count; });
  return m;
}

std::vector<std::string> all_problems(const Source& source, const std::vector<std::string>& more) {
  std::vector<std::string> problems = source.problems;
  problems.insert(problems.end(), more.begin(), more.end());
  return problems;
}

std::string events_text(const EventTally& e) {
  if (!e.present) return "none (no events file)";
  std::string text = std::to_string(e.rows) + " marked, " + std::to_string(e.checked) +
                     " placed on the timing and checked against their stamps";
  if (e.without_sample != 0) text += ", " + std::to_string(e.without_sample) + " without a sample";
  return text;
}

}  // namespace

std::string stamp_text(double seconds) {
  // A damaged file can hold any bits where a stamp belongs: only a time that
  // a calendar can show is converted (a wider one would overflow time_t).
  constexpr double kWidestCalendarSeconds = 1e15;
  if (!(std::fabs(seconds) < kWidestCalendarSeconds)) return fixed(seconds, 3);
  const double whole = std::floor(seconds);
  const auto calendar = static_cast<std::time_t>(whole);
  const std::tm* utc = std::gmtime(&calendar);
  if (utc == nullptr) return fixed(seconds, 3);
  char text[96];
  const int millis = std::min(999, static_cast<int>((seconds - whole) * 1000.0));
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc->tm_year + 1900,
                utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min, utc->tm_sec, millis);
  return text;
}

std::string summary_text(const Source& source, const Summary& s, const Findings& findings) {
  std::ostringstream out;
  out << source.path << "\n";
  put_line(out, "kind", std::string(kivo::kind_name(s.layout.kind)) + " (" + source.kind_from + ")");
  put_line(out, "channels", layout_text(s.layout));
  put_line(out, "extent", extent_text(s.extent));
  if (s.first_stamp) {
    put_line(out, "stamps",
             stamp_text(*s.first_stamp) + " to " + stamp_text(*s.last_stamp) + " (" +
                 fixed(*s.last_stamp - *s.first_stamp, 3) + " s)");
    put_line(out, "rate", s.mean_rate > 0 ? fixed(s.mean_rate, 1) + " datagrams/s on average" : "unknown");
  }
  put_line(out, "timing", timing_text(shown_timing(source, s)));
  put_line(out, "sequence", sequence_text(s));
  put_line(out, "stale slots",
           s.stale_slots == 0 ? "none"
                              : std::to_string(s.stale_slots) + " repeat an earlier datagram; at slots" +
                                    slot_list(s.stale_first_at, s.stale_slots));
  put_line(out, "metadata", source.metadata ? totals_text(*source.metadata) : "none");
  put_line(out, "events", events_text(findings.events));
  channel_table(out, s);
  findings_text(out, all_problems(source, findings.problems), findings.notes);
  return out.str();
}

std::string summary_json(const Source& source, const Summary& s, const Findings& findings) {
  const Layout& l = s.layout;
  Json out;
  out["file"] = source.path;
  out["kind"] = kivo::kind_name(l.kind);
  out["kind_from"] = source.kind_from;
  out["nchans"] = l.geometry.nchans;
  out["nsamp"] = l.geometry.nsamp;
  out["datagram_size_bytes"] = l.geometry.datagram_size_bytes;
  out["slot_size_bytes"] = l.slot_bytes;
  out["block_size_bytes"] = l.block_bytes();
  out["slots"] = s.extent.slots;
  out["whole_blocks"] = s.extent.whole_blocks;
  out["partial_block_slots"] = s.extent.partial_slots;
  out["trailing_bytes"] = s.extent.trailing_bytes;
  out["first_stamp"] = optional_number(s.first_stamp);
  out["last_stamp"] = optional_number(s.last_stamp);
  out["mean_rate"] = s.mean_rate;
  out["timing"] = timing_json(shown_timing(source, s));
  out["first_sequence"] = s.first_sequence ? Json(*s.first_sequence) : Json(nullptr);
  out["last_sequence"] = s.last_sequence ? Json(*s.last_sequence) : Json(nullptr);
  out["sequence_gaps"] = {{"count", s.gaps.count},
                          {"missing", s.gaps.missing},
                          {"largest", s.gaps.largest},
                          {"largest_at_slot", s.gaps.largest_at},
                          {"late", s.gaps.late},
                          {"repeated", s.gaps.repeated},
                          {"first_at_slots", s.gaps.first_at}};
  out["stale_slots"] = {{"count", s.stale_slots}, {"first_at_slots", s.stale_first_at}};
  Json channels = Json::array();
  for (const ChannelStats& c : s.channels) {
    channels.push_back({{"minimum", c.minimum}, {"maximum", c.maximum}, {"mean", c.mean}});
  }
  out["channels"] = channels;
  out["metadata"] = metadata_json(source.metadata);
  const EventTally& e = findings.events;
  out["events"] = e.present
                      ? Json{{"rows", e.rows}, {"checked", e.checked}, {"without_sample", e.without_sample}}
                      : Json(nullptr);
  const auto problems = all_problems(source, findings.problems);
  out["problems"] = problems;
  out["notes"] = findings.notes;
  out["consistent"] = problems.empty();
  return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string verdict_text(const Source& raw, const Source& filtered, const FilterVerdict& v) {
  std::ostringstream out;
  out << "filter check: " << filtered.path << "\n  against " << raw.path << "\n";
  out << "  compared " << v.blocks_compared << " blocks (raw " << v.raw_slots << " slots, filtered "
      << v.filtered_slots << ")\n";
  if (v.first_different_slot) {
    const uint64_t k = *v.first_different_slot;
    out << "  first difference at slot " << k << " (block " << k / kivo::kSlotsPerBlock << ", slot "
        << k % kivo::kSlotsPerBlock << "): " << v.detail << "\n";
  } else if (!v.detail.empty()) {
    out << "  " << v.detail << "\n";
  }
  out << (v.verified ? "verified: the filtered file is the raw file through its filter\n" : "NOT VERIFIED\n");
  return out.str();
}

std::string verdict_json(const Source& raw, const Source& filtered, const FilterVerdict& v) {
  Json out;
  out["raw"] = raw.path;
  out["filtered"] = filtered.path;
  out["verified"] = v.verified;
  out["blocks_compared"] = v.blocks_compared;
  out["raw_blocks"] = v.raw_blocks;
  out["filtered_blocks"] = v.filtered_blocks;
  out["raw_slots"] = v.raw_slots;
  out["filtered_slots"] = v.filtered_slots;
  out["first_different_slot"] = v.first_different_slot ? Json(*v.first_different_slot) : Json(nullptr);
  out["detail"] = v.detail;
  return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace kivo::inspect
