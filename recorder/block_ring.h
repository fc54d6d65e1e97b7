// The blocks between the receiving thread and the writer: a ring of equal
// blocks in one buffer. The receiver fills one block while the writer writes
// the ones handed over before it, oldest first, so that a disk that stalls
// for a few blocks' time loses nothing.
//
// The receiver never waits for the writer: when every other block is still
// waiting to be written, the block just completed is dropped (and counted)
// and its memory is filled again, so the receive loop keeps emptying the
// socket and the blocks that do reach the file are whole.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace kivo::recorder {

// A block handed over for writing.
struct FullBlock {
  const uint8_t* data = nullptr;
  size_t bytes = 0;     // a whole block, or fewer whole slots for the last one
  uint64_t number = 0;  // 1 for the first block the receiver completed
};

class BlockRing {
 public:
  // Any thread, before the others start. capacity_blocks is at least 2. The
  // memory starts out zeroed, like a fresh buffer.
  BlockRing(size_t block_bytes, size_t capacity_blocks);

  size_t block_bytes() const { return block_bytes_; }
  size_t capacity_blocks() const { return capacity_; }

  // Receiver only: the memory of the block to fill now.
  uint8_t* filling() { return memory_.data() + fill_index_ * block_bytes_; }

  // Receiver only: the block being filled holds `bytes` and goes to the
  // writer; the receiver moves on to the next block. Returns false when no
  // other block is free: the block is then dropped and filled again.
  bool hand_over(size_t bytes);

  // Any thread: no block follows. take() returns nothing once the writer
  // has had every block handed over before.
  void close();

  // Writer only: waits for the oldest block not yet written.
  std::optional<FullBlock> take();
  // Writer only: done with the block from the last take(); its memory is free.
  void release();

  // Any thread: blocks dropped by hand_over() so far.
  uint64_t dropped() const;
  // Any thread: blocks handed over and not yet written (all of them lost
  // once the writer has given up).
  size_t waiting() const;
  // Any thread: waits until no more than `blocks` wait for the writer, or
  // `limit` has passed; returns how many wait then.
  size_t wait_until_at_most(size_t blocks, std::chrono::milliseconds limit) const;

 private:
  size_t next(size_t index) const { return (index + 1) % capacity_; }

  const size_t block_bytes_;
  const size_t capacity_;
  std::vector<uint8_t> memory_;
  std::vector<size_t> filled_bytes_;     // per block, set at hand-over
  std::vector<uint64_t> block_numbers_;  // per block, set at hand-over
  size_t fill_index_ = 0;                // receiver's block; changed under the lock

  mutable std::mutex mutex_;
  std::condition_variable handed_over_;
  mutable std::condition_variable released_;
  size_t oldest_ = 0;   // first block handed over and not yet released
  size_t pending_ = 0;  // blocks handed over and not yet released
  uint64_t completed_ = 0;
  uint64_t dropped_ = 0;
  bool closed_ = false;
};

}  // namespace kivo::recorder
