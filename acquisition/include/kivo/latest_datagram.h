// The latest datagram, for 'read': the receiver publishes every slot it
// fills, and 'read' copies the latest one without tearing it, paced by the
// count of received bytes it has not taken.
//
// The slots lie in two blocks that the receiver fills in turn, numbered on
// from 0; a slot filled in block n is refilled in block n + 2 at the
// earliest. 'read' names the block of the slot it copies, and the receiver
// does not begin to refill that block's half until the copy is done.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kivo/geometry.h"

namespace kivo {

class LatestDatagram {
 public:
  // host thread, while no receiver runs: the slots lie in `blocks`, two
  // blocks of stamped slots of `geometry`. Nothing is published or unread.
  void reset(const uint8_t* blocks, const kivo::Geometry& geometry);

  // Receiver thread only: block `number` begins. Waits the fraction of a
  // microsecond it takes while 'read' copies a slot from that half's
  // previous fill.
  void begin_block(uint32_t number);

  // Receiver thread only: names the slot at `slot_offset` (from the start of
  // the blocks) in block `number` as the latest datagram, then counts its
  // `length` bytes as unread.
  void publish(uint32_t number, size_t slot_offset, size_t length);

  // host thread: a copy of the latest whole datagram (datagram_bytes), or
  // null when less than one datagram's worth of unread bytes is left.
  const uint8_t* read();

  // host thread: the receive stamp (seconds since 1970) of the datagram
  // that the last successful read() returned; 0 before one.
  double read_stamp() const { return read_stamp_; }

  // host thread, once the receiver has stopped: nothing left to read.
  void clear_unread() { unread_bytes_.store(0); }
  // Any thread: whether `datagram_bytes` unread bytes are there (a waiting
  // 'read' looks without the host thread's lock).
  bool has_unread(size_t datagram_bytes) const { return unread_bytes_.load() >= datagram_bytes; }

 private:
  // Receiver thread adds, host thread takes; never above one block.
  std::atomic<size_t> unread_bytes_{0};
  // Receiver thread writes, host thread reads: (block number << 32) |
  // offset of the latest slot, published as one value once it is complete.
  std::atomic<uint64_t> latest_slot_{0};
  // Receiver thread writes, host thread reads: the block being filled.
  std::atomic<uint32_t> filling_block_{0};
  // host thread writes, receiver thread reads: 1 + the number of the block
  // whose slot 'read' is copying, 0 when none.
  std::atomic<uint32_t> copying_block_{0};

  // Fixed by reset() while no receiver runs.
  const uint8_t* blocks_ = nullptr;
  size_t block_bytes_ = 0;
  size_t datagram_bytes_ = 0;
  size_t slot_bytes_ = 0;

  // host thread only: read()'s copy of one stamped slot, and its stamp.
  std::vector<uint8_t> copy_;
  double read_stamp_ = 0;
};

}  // namespace kivo
