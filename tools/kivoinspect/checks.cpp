#include "checks.h"

#include <cmath>
#include <string>

#include "kivo/sample_timing.h"

namespace kivo::inspect {
namespace {

// Beyond this share of breaks the numbers are not a sequence at all.
constexpr double kMostlyBroken = 0.5;
constexpr uint64_t kEnoughSlotsToJudge = 16;

std::string count_text(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

void check_extent(const Summary& s, const std::optional<kivo::Metadata>& m, Findings& f) {
  const Extent& e = s.extent;
  if (e.trailing_bytes != 0) {
    f.problems.push_back("the file ends with " + count_text(e.trailing_bytes, "byte", "bytes") +
                         " that do not make a whole slot (it was cut while a slot was written)");
  }
  // A recording that ended says how many slots it holds (compared below).
  if (e.partial_slots == 0 || (m && m->end != kivo::EndReason::running)) return;
  f.notes.push_back("the file ends with a partial block of " + count_text(e.partial_slots, "slot", "slots") +
                    " (velto's 'close' and kivorec's stop write the block in progress)");
}

void check_against_metadata(const Summary& s, const kivo::Metadata& m, const std::string& file_name,
                            Findings& f) {
  if (m.sample_file != file_name) {
    f.problems.push_back("the metadata describes " + m.sample_file + ", not " + file_name);
  }
  if (m.kind != s.layout.kind || m.nchans != s.layout.geometry.nchans) {
    f.problems.push_back(std::string("the metadata says ") + kivo::kind_name(m.kind) + " with " +
                         std::to_string(m.nchans) + " channels, but the file is read as " +
                         kivo::kind_name(s.layout.kind) + " with " +
                         std::to_string(s.layout.geometry.nchans));
  }
  if (m.end == kivo::EndReason::running) {
    f.notes.push_back(
        "the metadata says the recording is still running (or its writer stopped without finishing it)");
    return;
  }
  // Each such datagram was cut or padded to its slot: the samples are not
  // what the device measured, however whole the file looks.
  if (const uint64_t n = m.totals.wrong_size_datagrams) {
    f.problems.push_back(count_text(n, "datagram was", "datagrams were") + " not of the size " +
                         std::to_string(m.nchans) +
                         " channels give (the metadata counts them): a wrong channel count, or another "
                         "sender on the port");
  }
  if (m.totals.slots_written != s.extent.slots) {
    f.problems.push_back("the metadata says " + count_text(m.totals.slots_written, "slot was", "slots were") +
                         " written, the file holds " + std::to_string(s.extent.slots));
  }
}

// The metadata's fit against the one from the file's stamps: the same
// segments, and times that agree to within a few microseconds across each
// (the metadata's fit also holds any datagrams received and not saved).
constexpr double kTimesAgreeWithin = 10e-6;

std::string microseconds(double seconds) { return std::to_string(std::lround(seconds * 1e6)) + " us"; }

void check_timing(const kivo::SampleTiming& fitted, const kivo::SampleTiming& stated, Findings& f) {
  if (fitted.segments.size() != stated.segments.size()) {
    f.problems.push_back("the metadata's timing has " +
                         count_text(stated.segments.size(), "segment", "segments") + ", the stamps give " +
                         std::to_string(fitted.segments.size()));
    return;
  }
  for (size_t i = 0; i < fitted.segments.size(); ++i) {
    const kivo::ClockSegment& segment = fitted.segments[i];
    for (const int64_t n : {segment.first_sample, segment.last_sample}) {
      const double off = kivo::sample_time(stated, n) - kivo::sample_time(fitted, n);
      if (std::isnan(kivo::sample_time(fitted, n)) || std::fabs(off) <= kTimesAgreeWithin) continue;
      f.problems.push_back(
          "the metadata's timing puts sample " + std::to_string(n) + " (segment " + std::to_string(i) + ") " +
          (std::isnan(off) ? std::string("outside every segment") : microseconds(off) + " off") +
          " the fit of the stamps");
      return;
    }
  }
}

void check_sequence(const Summary& s, Findings& f) {
  if (s.fresh_slots < kEnoughSlotsToJudge) return;
  if (static_cast<double>(s.gaps.count) > kMostlyBroken * static_cast<double>(s.fresh_slots)) {
    f.problems.push_back(
        "the sequence numbers do not run on in most slots: wrong channel count, wrong kind, or not a Kivo "
        "file");
  }
}

}  // namespace

Findings check_recording(const Summary& summary, const std::optional<kivo::Metadata>& metadata,
                         const std::string& file_name) {
  Findings f;
  check_extent(summary, metadata, f);
  if (metadata) check_against_metadata(summary, *metadata, file_name, f);
  if (metadata && metadata->timing && summary.fitted) check_timing(*summary.fitted, *metadata->timing, f);
  check_sequence(summary, f);
  return f;
}

}  // namespace kivo::inspect
