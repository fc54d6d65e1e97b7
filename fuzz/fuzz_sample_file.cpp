// Fuzzes kivoinspect's reading of sample files: the slots of any bytes as a
// raw, filtered or recorder file of 1 to 16 channels, their analysis (stale
// slots, sequence gaps, stamps, channel ranges), the consistency checks
// against a metadata record, both reports, and the filter check.
//
// Input: [channels] [kind] [mode] then either the file itself (mode bit 0
// clear) or a description of its slots (bit 0 set), expanded so that whole
// blocks, stale tails and repeats are reachable from a few bytes.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "analysis.h"
#include "checks.h"
#include "filter_check.h"
#include "fuzz_input.h"
#include "kivo/encoder.h"
#include "kivo/metadata.h"
#include "recording.h"
#include "report.h"
#include "source.h"

namespace {

using kivo_fuzz::fail;
using kivo_fuzz::Input;
using namespace kivo::inspect;

// The most slots an input expands to. Built twice: fuzz_sample_file with a
// few slots, fast, for the slot-level reading; fuzz_sample_blocks with two
// blocks and a part, slower, for whole blocks and the filter check.
#ifndef KIVO_FUZZ_MAX_SLOTS
#define KIVO_FUZZ_MAX_SLOTS 16
#endif
constexpr size_t kMaxSlots = KIVO_FUZZ_MAX_SLOTS;

// Slot descriptions, 4 bytes each: op (low 2 bits) and three argument bytes.
//  0: a new datagram numbered a0 | a1 << 8, stamped a2 ms after the last one
//  1: a copy of an earlier slot (a0 | a1 << 8, modulo the slots so far)
//  2: a slot never written: all zero
//  3: a run of (a0 + 1) * 4 datagrams numbered on from the last, 1 ms apart
std::vector<uint8_t> expand(Input& in, const Layout& layout) {
  std::vector<uint8_t> file;
  const size_t slot = layout.slot_bytes;
  const size_t max_slots = kMaxSlots;
  double stamp = 1.7e9;
  uint16_t seq = 0;
  uint32_t index = 0;
  auto add_new = [&](uint16_t number, double step) {
    file.resize(file.size() + slot);
    uint8_t* s = file.data() + file.size() - slot;
    stamp += step;
    if (layout.stamped()) std::memcpy(s, &stamp, sizeof stamp);
    // Samples of one value per datagram: the analysis looks at numbers and
    // ranges, and a memset keeps large files cheap.
    uint8_t* datagram = s + layout.stamp_bytes;
    std::memset(datagram, static_cast<int>(number % 251),
                static_cast<size_t>(layout.geometry.datagram_size_bytes));
    datagram[0] = kivo::kHeaderMagic0;
    datagram[1] = kivo::kHeaderMagic1;
    std::memcpy(datagram + 2, &index, sizeof index);
    ++index;
    kivo::store_u16le(datagram + kivo::kSequenceOffset, number);
    seq = number;
  };
  while (!in.empty() && file.size() / slot < max_slots) {
    const uint8_t op = in.byte() & 3;
    const uint8_t a0 = in.byte(), a1 = in.byte(), a2 = in.byte();
    const size_t count = file.size() / slot;
    if (op == 0) {
      add_new(static_cast<uint16_t>(a0 | (a1 << 8)), a2 * 1e-3);
    } else if (op == 1 && count > 0) {
      const size_t from = static_cast<size_t>(a0 | (a1 << 8)) % count;
      file.resize(file.size() + slot);
      std::memcpy(file.data() + count * slot, file.data() + from * slot, slot);
    } else if (op == 2) {
      file.resize(file.size() + slot, 0);
    } else {
      const size_t run = std::min<size_t>((a0 + 1U) * 4U, max_slots - count);
      for (size_t i = 0; i < run; ++i) add_new(kivo::next_sequence(seq), 1e-3);
    }
  }
  // Cut the end, as a process killed during a write leaves it.
  const size_t cut = std::min<size_t>(file.size(), in.byte() % 64 == 0 ? in.byte() * 17U : 0U);
  file.resize(file.size() - cut);
  return file;
}

kivo::FilterCoefficients coefficients(Input& in) {
  std::array<double, 5> b{}, a{};
  for (double& v : b) v = in.byte() % 4 == 0 ? in.real() : (in.byte() - 128) / 64.0;
  for (double& v : a) v = in.byte() % 4 == 0 ? in.real() : (in.byte() - 128) / 64.0;
  return kivo::coefficients_as_stored(b, a);
}

// A metadata record of the file, as a writer could have left it.
kivo::Metadata metadata_for(Input& in, const Layout& layout) {
  kivo::Metadata m;
  m.kind = layout.kind;
  m.nchans = layout.geometry.nchans;
  m.sample_file = in.byte() % 2 ? "file.dat" : "other.dat";
  m.end = static_cast<kivo::EndReason>(in.byte() % 8);
  m.totals.slots_written = in.u32() % 8192;
  m.totals.blocks_written = m.totals.slots_written / kivo::kSlotsPerBlock;
  m.totals.datagrams_received = in.u64();
  m.totals.sequence_gaps = in.u64();
  if (layout.kind == kivo::FileKind::filtered) m.filter = coefficients(in);
  return m;
}

void check_summary(const Summary& s) {
  if (s.fresh_slots + s.stale_slots != s.extent.slots) fail("fresh + stale slots != slots");
  if (s.gaps.count > s.fresh_slots) fail("more gaps than fresh slots");
  // The first datagram is neither a break, nor late, nor repeated.
  if (s.fresh_slots > 0 &&
      (s.gaps.count > s.fresh_slots - 1 || s.gaps.late + s.gaps.repeated > s.fresh_slots - 1)) {
    fail("more breaks, late or repeated datagrams than slots after the first");
  }
  if (s.extent.whole_blocks * kivo::kSlotsPerBlock + s.extent.partial_slots != s.extent.slots) {
    fail("whole blocks and partial slots do not add up");
  }
  for (const ChannelStats& c : s.channels) {
    if (c.minimum > c.maximum) fail("channel minimum above maximum");
  }
  if (!s.channels.empty() && s.channels.size() != s.layout.geometry.nchans) fail("channel table size");
}

void inspect(const std::vector<uint8_t>& bytes, const Layout& layout, Input& in) {
  const Slots slots(bytes.data(), bytes.size(), layout);
  const Summary summary = analyse(slots);
  check_summary(summary);
  Source source;
  source.path = "file.dat";
  source.kind_from = "fuzz";
  source.layout = layout;
  if (in.byte() % 2) source.metadata = metadata_for(in, layout);
  const Findings findings = check_recording(summary, source.metadata, "file.dat");
  if (summary_text(source, summary, findings).empty()) fail("empty text report");
  if (summary_json(source, summary, findings).empty()) fail("empty JSON report");
  guess_kind("file.dat", bytes.data(), bytes.size(), layout.geometry.nchans);
}

// The file taken as a raw file and, cut in two, as raw and filtered halves.
void verify(const std::vector<uint8_t>& bytes, uint32_t nchans, Input& in) {
  const Layout raw = make_layout(kivo::FileKind::raw, nchans);
  const Layout filtered = make_layout(kivo::FileKind::filtered, nchans);
  const size_t half = bytes.size() / 2;
  const Slots raw_slots(bytes.data(), half, raw);
  const Slots filtered_slots(bytes.data() + half, bytes.size() - half, filtered);
  const FilterVerdict v = verify_filter(raw_slots, filtered_slots, coefficients(in));
  if (v.verified && v.raw_slots != v.filtered_slots) fail("verified with unequal slot counts");
  Source r, f;
  r.layout = raw;
  f.layout = filtered;
  verdict_text(r, f, v);
  verdict_json(r, f, v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint32_t nchans = 1 + in.byte() % 16;
  const auto kind = static_cast<kivo::FileKind>(in.byte() % 3);
  const uint8_t mode = in.byte();
  const Layout layout = make_layout(kind, nchans);
  std::vector<uint8_t> bytes;
  if (mode & 1) {
    bytes = expand(in, layout);
  } else {
    bytes.assign(in.rest(), in.rest() + std::min(in.rest_size(), kMaxSlots * layout.slot_bytes));
  }
  // What is left of the input steers the checks and the coefficients.
  Input steer(data, size);
  inspect(bytes, layout, steer);
  if (kMaxSlots >= 2 * kivo::kSlotsPerBlock && (mode & 2)) verify(bytes, nchans, steer);
  return 0;
}
