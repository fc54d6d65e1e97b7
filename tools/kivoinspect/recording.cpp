#include "recording.h"

namespace kivo::inspect {
namespace {

// Receive times between 1973 and 2286: anything else in a first slot's
// first 8 bytes is not a stamp.
constexpr double kEarliestStamp = 1e8;
constexpr double kLatestStamp = 1e10;

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

Layout make_layout(kivo::FileKind kind, uint32_t nchans) {
  Layout layout;
  layout.kind = kind;
  layout.geometry = kivo::make_geometry(nchans);
  layout.stamp_bytes = kivo::is_stamped(kind) ? kivo::kStampBytes : 0;
  layout.slot_bytes = static_cast<size_t>(layout.geometry.slot_bytes(kivo::is_stamped(kind)));
  return layout;
}

kivo::FileKind guess_kind(const std::string& name, const uint8_t* data, size_t size, uint32_t nchans) {
  if (ends_with(name, "_kivo_filtered_samples.dat")) return kivo::FileKind::filtered;
  const Layout raw = make_layout(kivo::FileKind::raw, nchans);
  if (size < raw.slot_bytes) return kivo::FileKind::raw;
  double stamp = 0;
  std::memcpy(&stamp, data, sizeof stamp);
  const bool plausible = stamp == 0.0 || (stamp >= kEarliestStamp && stamp <= kLatestStamp);
  return plausible ? kivo::FileKind::raw : kivo::FileKind::recorder;
}

Extent extent_of(uint64_t size, const Layout& layout) {
  Extent e;
  if (layout.slot_bytes == 0) return e;
  e.slots = size / layout.slot_bytes;
  e.trailing_bytes = size % layout.slot_bytes;
  e.whole_blocks = e.slots / kivo::kSlotsPerBlock;
  e.partial_slots = e.slots % kivo::kSlotsPerBlock;
  return e;
}

}  // namespace kivo::inspect
