#include "filter_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "kivo/band_filter.h"
#include "kivo/datagram.h"

namespace kivo::inspect {
namespace {

// What differs within one slot, for the report.
std::string difference_in_slot(const uint8_t* expected, const uint8_t* found, const Layout& layout) {
  const size_t head = layout.stamp_bytes + kivo::kHeaderBytes;
  if (std::memcmp(expected, found, head) != 0) return "its stamp or header differs from the raw slot's";
  const auto nchans = static_cast<size_t>(layout.geometry.nchans);
  const uint8_t* e = expected + layout.stamp_bytes;
  const uint8_t* f = found + layout.stamp_bytes;
  for (size_t i = 0; i < layout.geometry.samples_per_datagram(); ++i) {
    const uint16_t want = kivo::sample_in_run(e, i);
    const uint16_t got = kivo::sample_in_run(f, i);
    if (want != got) {
      return "channel " + std::to_string(i % nchans) + " at time step " + std::to_string(i / nchans) +
             ": the filter gives " + std::to_string(want) + ", the file holds " + std::to_string(got);
    }
  }
  return "its bytes differ";
}

}  // namespace

FilterVerdict verify_filter(const Slots& raw, const Slots& filtered, const kivo::FilterCoefficients& filter,
                            const Progress& progress) {
  FilterVerdict v;
  const Layout& layout = raw.layout();
  v.raw_slots = raw.count();
  v.filtered_slots = filtered.count();
  v.raw_blocks = raw.count() / kivo::kSlotsPerBlock;
  v.filtered_blocks = filtered.count() / kivo::kSlotsPerBlock;
  kivo::FilterState state;  // zero histories
  for (size_t i = 0; i < 5; ++i) {
    state.b[i] = filter.b_stored[i];
    state.a[i] = filter.a_stored[i];
  }
  std::vector<uint8_t> in(layout.block_bytes());
  std::vector<uint8_t> out(layout.block_bytes());
  const auto nchans = static_cast<size_t>(layout.geometry.nchans);
  const auto nsamp = static_cast<size_t>(layout.geometry.nsamp);
  const uint64_t slots = std::min(v.raw_slots, v.filtered_slots);
  for (uint64_t first = 0; first < slots; first += kivo::kSlotsPerBlock) {
    if (progress) progress(first, slots);
    const uint64_t count = std::min<uint64_t>(kivo::kSlotsPerBlock, slots - first);
    const uint8_t* raw_block = raw.slot(first);
    if (count < kivo::kSlotsPerBlock) {
      std::memcpy(in.data(), raw_block, count * layout.slot_bytes);
      raw_block = in.data();
    }
    kivo::filter_block(state, raw_block, out.data(), nchans, nsamp);
    ++v.blocks_compared;
    if (std::memcmp(out.data(), filtered.slot(first), count * layout.slot_bytes) == 0) continue;
    for (uint64_t k = 0; k < count; ++k) {
      const uint8_t* expected = out.data() + k * layout.slot_bytes;
      if (std::memcmp(expected, filtered.slot(first + k), layout.slot_bytes) != 0) {
        v.first_different_slot = first + k;
        v.detail = difference_in_slot(expected, filtered.slot(first + k), layout);
        break;
      }
    }
    return v;
  }
  if (progress) progress(slots, slots);
  if (v.raw_slots != v.filtered_slots) {
    v.detail = "the raw file holds " + std::to_string(v.raw_slots) + " slots, the filtered file " +
               std::to_string(v.filtered_slots);
    return v;
  }
  v.verified = true;
  return v;
}

}  // namespace kivo::inspect
