#include "comment.h"

#include <cstdio>

#include "kivo/version.h"

namespace kivo::exporter {
namespace {

std::string number_text(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

std::string unit_note(kivo::FileKind kind) {
  const std::string scale =
      " They are not scaled to volts: each channel says µV with resolution 1, so one count reads as 1 µV.";
  if (kind == kivo::FileKind::filtered) {
    return "Values: the band filter's output, the file's 16-bit values minus the offset of 32767 that stores "
           "them unsigned (-32767 to 32768), as 32-bit floats." +
           scale;
  }
  return "Values: the device's 16-bit samples (0 to 65535), each exactly, as 32-bit floats." + scale;
}

void add_breaks(const CommentFacts& f, std::vector<std::string>& lines) {
  if (f.breaks.empty()) {
    lines.push_back("Breaks: none; the data points follow on from each other throughout.");
    return;
  }
  lines.push_back("Breaks: " + std::to_string(f.breaks.size()) +
                  ". No data points are made up where the device's numbering breaks: a New Segment marker "
                  "stands where the data resume, and a Bad Interval marker covers the data point before it "
                  "and the one after.");
  for (const BreakNote& b : f.breaks) {
    lines.push_back("  data point " + std::to_string(b.row + 1) + ": " + b.description);
  }
}

void add_events(const CommentFacts& f, std::vector<std::string>& lines) {
  if (!f.events_present) {
    lines.push_back("Events: none (there is no " + f.events_file + ").");
    return;
  }
  const PlacedEvents& e = *f.events;
  lines.push_back(
      "Events: " + std::to_string(e.placed) + " from " + f.events_file +
      ", each a Stimulus marker S<value> at its data point, followed by a Comment marker with its "
      "text when it has one.");
  if (e.placed_by_stamp != 0) {
    const bool one = e.placed_by_stamp == 1;
    lines.push_back("  " + std::to_string(e.placed_by_stamp) +
                    (one ? " has no sample and is placed by its stamp"
                         : " have no sample and are placed by their stamps") +
                    " on the fitted clock.");
  }
  if (e.left_out.empty()) return;
  lines.push_back("  Left out: " + std::to_string(e.left_out.size()) + ".");
  for (const std::string& why : e.left_out) lines.push_back("  " + why);
}

}  // namespace

std::vector<std::string> comment_lines(const CommentFacts& f) {
  std::vector<std::string> lines;
  lines.push_back(std::string("Exported by kivoexport ") + KIVO_VERSION + " from " + f.file + ": " +
                  kivo::kind_name(f.kind) + " samples, " + std::to_string(f.nchans) + " channels.");
  lines.push_back(unit_note(f.kind));
  lines.push_back("Sampling rate: " + number_text(f.sample_rate) + " Hz, " + f.rate_source + ".");
  lines.push_back("Data points: " + std::to_string(f.rows) + ", from " + std::to_string(f.datagrams) +
                  " datagrams of " + std::to_string(f.nsamp) + " samples per channel.");
  if (f.stale_slots != 0) {
    lines.push_back(
        "Stale slots left out: " + std::to_string(f.stale_slots) +
        " (slots that repeat an earlier datagram or were never written); they add no data points.");
  }
  add_breaks(f, lines);
  add_events(f, lines);
  return lines;
}

}  // namespace kivo::exporter
