#include "checks.h"

#include <string>

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
  if (e.partial_slots == 0) return;
  const std::string partial =
      "the file ends with a partial block of " + count_text(e.partial_slots, "slot", "slots");
  if (s.layout.kind != kivo::FileKind::recorder) {
    f.problems.push_back(partial + "; the plug-in writes whole blocks only");
  } else if (!m || m->end == kivo::EndReason::running) {
    f.notes.push_back(partial + " (kivorec writes the block in progress when it is stopped)");
  }
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
  check_sequence(summary, f);
  return f;
}

}  // namespace kivo::inspect
