// A sample file's bytes seen as slots: where each slot begins, its receive
// stamp, sequence number, header and samples. Works on any bytes in memory
// (a mapped file, or a buffer a fuzzer made): nothing here reads past `size`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "kivo/datagram.h"
#include "kivo/geometry.h"
#include "kivo/metadata.h"

namespace kivo::inspect {

struct Layout {
  kivo::FileKind kind = kivo::FileKind::raw;
  kivo::Geometry geometry;
  size_t slot_bytes = 0;
  size_t stamp_bytes = 0;  // 8 in the plug-in's files, 0 in the recorder's

  size_t block_bytes() const { return slot_bytes * kivo::kSlotsPerBlock; }
  bool stamped() const { return stamp_bytes != 0; }
};

// nchans must be 1 to 16.
Layout make_layout(kivo::FileKind kind, uint32_t nchans);

// The kind of a file without metadata, from its name and first slot: a name
// ending "_kivo_filtered_samples.dat" is filtered; otherwise a first slot whose
// first 8 bytes read as a plausible receive time (or 0) makes it raw, and
// anything else a recorder file.
kivo::FileKind guess_kind(const std::string& name, const uint8_t* data, size_t size, uint32_t nchans);

// How the file's bytes divide into slots and blocks.
struct Extent {
  uint64_t slots = 0;  // whole slots
  uint64_t whole_blocks = 0;
  uint64_t partial_slots = 0;   // whole slots of a last, incomplete block
  uint64_t trailing_bytes = 0;  // bytes after the last whole slot
};
Extent extent_of(uint64_t size, const Layout& layout);

class Slots {
 public:
  Slots(const uint8_t* data, size_t size, const Layout& layout)
      : data_(data), size_(size), layout_(layout), count_(extent_of(size, layout).slots) {}

  uint64_t count() const { return count_; }
  uint64_t size() const { return size_; }
  const Layout& layout() const { return layout_; }
  const uint8_t* slot(uint64_t k) const { return data_ + k * layout_.slot_bytes; }
  const uint8_t* datagram(uint64_t k) const { return slot(k) + layout_.stamp_bytes; }
  // The receive time; 0 in files without stamps.
  double stamp(uint64_t k) const {
    double value = 0;
    if (layout_.stamped()) std::memcpy(&value, slot(k), sizeof value);
    return value;
  }
  uint64_t stamp_bits(uint64_t k) const {
    uint64_t bits = 0;
    if (layout_.stamped()) std::memcpy(&bits, slot(k), sizeof bits);
    return bits;
  }
  uint16_t sequence(uint64_t k) const { return kivo::sequence_number(datagram(k)); }

 private:
  const uint8_t* data_;
  uint64_t size_;
  Layout layout_;
  uint64_t count_;
};

}  // namespace kivo::inspect
