// Fuzzes the receiver's per-datagram bookkeeping (kivo/datagram_bookkeeping.h)
// against a plain model: a run of receives of any length and sequence number
// mixed with reads. The counters, the breaks in the numbering and the unread
// count must agree with the model after every step, and the unread count
// must never pass its cap.
#include <algorithm>
#include <atomic>
#include <vector>

#include "fuzz_input.h"
#include "kivo/datagram.h"
#include "kivo/datagram_bookkeeping.h"
#include "kivo/geometry.h"

namespace {

using kivo_fuzz::fail;
using kivo_fuzz::Input;

struct Model {
  uint64_t datagrams = 0, bytes = 0, gaps = 0, kernel_drops = 0;
  size_t unread = 0;
  int last = -1;  // previous sequence number, -1 before the first
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const kivo::Geometry g = kivo::make_geometry(1 + in.byte() % 16);
  const auto datagram_size = static_cast<size_t>(g.datagram_size_bytes);
  const auto cap = static_cast<size_t>(g.stamped_block_bytes);
  kivo::StatusCounters counters;
  kivo::SequenceTracker sequence;
  std::atomic<size_t> unread{0};
  Model m;
  std::vector<uint8_t> slot(datagram_size, 0);
  while (!in.empty()) {
    const uint8_t op = in.byte();
    if (op < 64) {  // a read
      const bool took = kivo::take_unread(unread, datagram_size, cap);
      if (took != (m.unread >= datagram_size)) fail("read took a datagram the model did not have");
      if (took) m.unread = std::min(cap, m.unread - datagram_size);
    } else {  // a receive of 1 to datagram_size bytes (the socket cuts longer ones)
      const size_t length = 1 + in.u16() % datagram_size;
      const uint16_t seq = in.u16();
      kivo::store_u16le(slot.data() + kivo::kSequenceOffset, seq);
      kivo::net::Received received;
      received.length = static_cast<long long>(length);
      received.drop_count_valid = op & 1;
      received.kernel_drops = op;
      kivo::count_datagram(counters, sequence, slot.data(), received);
      kivo::add_unread(unread, length, cap);
      ++m.datagrams;
      m.bytes += length;
      if (received.drop_count_valid) m.kernel_drops = op;
      if (length >= kivo::kHeaderBytes) {
        if (m.last >= 0 && seq != static_cast<uint16_t>(m.last + 1)) ++m.gaps;
        m.last = seq;
      }
      m.unread = std::min(cap, m.unread + length);
    }
    if (unread.load() > cap) fail("unread count above its cap");
    if (unread.load() != m.unread) fail("unread count differs from the model");
    if (counters.datagrams.load() != m.datagrams || counters.bytes.load() != m.bytes ||
        counters.sequence_gaps.load() != m.gaps || counters.kernel_drops.load() != m.kernel_drops) {
      fail("counters differ from the model");
    }
  }
  return 0;
}
