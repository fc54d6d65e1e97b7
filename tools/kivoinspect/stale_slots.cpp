#include "stale_slots.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kivo::inspect {
namespace {

bool all_zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

// Stamped slots are keyed by their stamp, the recorder's by sequence number:
// a repeat has the same key as its original.
uint64_t key_of(const Slots& slots, uint64_t k) {
  return slots.layout().stamped() ? slots.stamp_bits(k) : slots.sequence(k);
}

// True when the stamps of the slots not yet flagged rise strictly: then no
// slot can repeat an earlier one.
bool stamps_rise(const Slots& slots, const std::vector<bool>& stale) {
  bool have = false;
  double previous = 0;
  for (uint64_t k = 0; k < slots.count(); ++k) {
    if (stale[k]) continue;
    const double stamp = slots.stamp(k);
    if (have && !(stamp > previous)) return false;
    previous = stamp;
    have = true;
  }
  return true;
}

// Within each run of equal keys, a slot is stale when its bytes equal those
// of a distinct earlier slot of the run.
void flag_repeats(const Slots& slots, std::vector<bool>& stale) {
  const size_t n = compared_bytes(slots.layout());
  std::vector<std::pair<uint64_t, uint64_t>> keyed;
  keyed.reserve(slots.count());
  for (uint64_t k = 0; k < slots.count(); ++k) {
    if (!stale[k]) keyed.emplace_back(key_of(slots, k), k);
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<uint64_t> distinct;
  for (size_t i = 0; i < keyed.size();) {
    size_t end = i + 1;
    while (end < keyed.size() && keyed[end].first == keyed[i].first) ++end;
    distinct.assign(1, keyed[i].second);
    for (size_t j = i + 1; j < end; ++j) {
      const uint64_t k = keyed[j].second;
      const bool repeat = std::any_of(distinct.begin(), distinct.end(), [&](uint64_t earlier) {
        return std::memcmp(slots.slot(earlier), slots.slot(k), n) == 0;
      });
      if (repeat) {
        stale[k] = true;
      } else {
        distinct.push_back(k);
      }
    }
    i = end;
  }
}

}  // namespace

size_t compared_bytes(const Layout& layout) {
  if (layout.kind == kivo::FileKind::filtered) return layout.stamp_bytes + kivo::kHeaderBytes;
  return layout.slot_bytes;
}

std::vector<bool> find_stale_slots(const Slots& slots) {
  std::vector<bool> stale(slots.count(), false);
  const Layout& layout = slots.layout();
  if (layout.stamped()) {
    const size_t n = compared_bytes(layout);
    for (uint64_t k = 0; k < slots.count(); ++k) {
      stale[k] = slots.stamp_bits(k) == 0 && all_zero(slots.slot(k), n);
    }
    if (stamps_rise(slots, stale)) return stale;
  }
  flag_repeats(slots, stale);
  return stale;
}

}  // namespace kivo::inspect
