// Every datagram received, for 'samples': each call takes what arrived since
// the call before, oldest first, and none is handed over twice.
//
// The receiver fills two blocks in turn (block n in half n % 2) and only
// announces each datagram here. The save thread, which reads every full
// block anyway, copies it into a ring of blocks that a caller takes from;
// the block in progress, and a full one the saver has not copied yet, are
// taken straight from the receiver's halves. Nobody waits for a caller that
// falls behind: a half or ring entry that the receiver or the saver refills
// is marked gone first, and a caller then copies the block from the ring
// (a half's block is in the ring before the half is refilled). A caller
// copies a few slots at a time while it pins their source, so that the one
// wait there is, a refill that finds its source pinned, lasts the copy of
// those few slots. A caller that falls further behind than the ring holds
// misses the blocks the ring no longer has, and is told exactly how many
// datagrams they held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kivo/geometry.h"

namespace kivo {

// What one take() hands over; the pointers stay valid until the next take()
// or reset().
struct TakenDatagrams {
  const uint8_t* slots = nullptr;          // `count` stamped slots, one after another, as in the raw file
  const int64_t* first_samples = nullptr;  // each datagram's first sample in the recording's numbering
  size_t count = 0;
  uint64_t missed = 0;  // datagrams since the previous take that the ring no longer held
};

class SampleDelivery {
 public:
  // Full blocks kept for a caller: 2.4 s at 20,000 datagrams/s, 48 s at 1,000/s.
  static constexpr size_t kRingBlocks = 48;

  // host thread, while no worker runs: delivers from `halves` (two blocks
  // of stamped slots of `geometry`), keeping `ring_blocks` full blocks (2
  // or more). Forgets whatever was received before. Allocates the ring when
  // its size changes.
  void reset(const uint8_t* halves, const kivo::Geometry& geometry, size_t ring_blocks = kRingBlocks);

  // Receiver thread (the host thread after it, at 'close'): block `number`
  // begins in half number % 2. Never waits.
  void begin_block(uint32_t number);
  // Receiver thread: the next slot of the block begun last holds a whole
  // datagram whose first sample is `first_sample`. Sequentially consistent,
  // for ArrivalSignal.
  void publish(int64_t first_sample);

  // Saver thread (the host thread at 'close'): copies the datagrams of the
  // block in `half`, which the receiver has finished, into the ring.
  void keep(unsigned half);

  // host thread: everything published since the last take (since reset()
  // for the first), oldest first.
  TakenDatagrams take();
  // host thread, once no worker runs ('close'): gives the ring's memory and
  // the take's back to the system; take() hands over nothing until reset().
  void release();

  // Any thread: datagrams published since reset(); and the ones a take has
  // handed over or counted missed.
  uint64_t published() const { return published_.load(); }
  uint64_t taken() const { return taken_.load(); }
  // Any thread: the datagrams missed since reset().
  uint64_t missed_total() const { return missed_total_.load(std::memory_order_relaxed); }

 private:
  static constexpr uint64_t kNoBlock = ~uint64_t{0};

  // One block's worth of datagrams: in a half of the receiver's, or a ring entry.
  // The receiver (a half) or the saver (a ring entry) writes, any thread reads.
  struct BlockState {
    std::atomic<uint64_t> block{kNoBlock};  // the block it holds, or kNoBlock while it changes
    std::atomic<uint64_t> first_index{0};   // its first datagram, counted from reset()
    std::atomic<uint32_t> filled{0};        // its datagrams, in slots 0 to filled - 1
  };
  // Where the datagrams of one block lie.
  struct Source {
    BlockState* state;
    const uint8_t* slots;
    std::atomic<int64_t>* first_samples;
  };
  enum class Copied { all, part, gone, retry };

  // What a take pins while it copies from a block's half or ring entry.
  static uint64_t pin_of(uint64_t block, bool in_ring) { return ((block + 1) << 1) | (in_ring ? 1U : 0U); }
  Source half_source(unsigned half);
  Source ring_source(uint64_t block);
  Copied copy_block(uint64_t block, uint64_t filling);
  bool copy_from(const Source& source, uint64_t block, bool in_ring);
  void skip_to_oldest_kept();

  // Fixed by reset() while no worker runs.
  const uint8_t* halves_ = nullptr;
  size_t slot_bytes_ = 0;
  size_t block_bytes_ = 0;
  size_t ring_blocks_ = 0;
  std::unique_ptr<uint8_t[]> ring_slots_;  // saver writes an entry, host thread reads it pinned
  std::unique_ptr<std::atomic<int64_t>[]> ring_first_samples_;
  std::unique_ptr<BlockState[]> ring_;
  std::unique_ptr<std::atomic<int64_t>[]> half_first_samples_;  // receiver writes, saver and host read

  // Receiver thread writes, any thread reads.
  BlockState halves_state_[2];
  std::atomic<uint64_t> filling_{kNoBlock};  // the block begun last
  std::atomic<uint64_t> published_{0};
  // Saver writes, host thread reads: the newest block copied into the ring.
  std::atomic<uint64_t> kept_{kNoBlock};
  // host thread writes, the receiver and the saver read: the source a take
  // is copying from (pin_of()), 0 when none.
  std::atomic<uint64_t> copying_{0};
  // host thread writes, any thread reads: datagrams handed over or missed.
  std::atomic<uint64_t> taken_{0};
  std::atomic<uint64_t> missed_total_{0};

  // Receiver thread only (the host thread at 'close').
  uint32_t current_block_ = 0;
  uint32_t current_filled_ = 0;

  // host thread only: where the next take begins, and what it hands over.
  uint64_t next_block_ = 0;
  uint32_t next_slot_ = 0;
  uint64_t next_index_ = 0;  // counted from reset()
  std::vector<uint8_t> out_slots_;
  std::vector<int64_t> out_first_samples_;
  uint64_t out_missed_ = 0;
};

}  // namespace kivo
