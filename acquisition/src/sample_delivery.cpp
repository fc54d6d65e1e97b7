#include "kivo/sample_delivery.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace kivo {
namespace {

constexpr size_t kSlots = kivo::kSlotsPerBlock;
// A take copies this many slots at a time while it pins their source: the
// longest the receiver (or the saver) can find a half (or a ring entry) it
// is to refill pinned is the copy of these few slots, microseconds.
constexpr uint32_t kChunkSlots = 16;

// Spins until no take pins `pin`; whoever sees it unpinned sees the copy done.
void wait_unpinned(const std::atomic<uint64_t>& copying, uint64_t pin) {
  while (copying.load() == pin) std::this_thread::yield();
}

}  // namespace

void SampleDelivery::reset(const uint8_t* halves, const kivo::Geometry& geometry, size_t ring_blocks) {
  halves_ = halves;
  slot_bytes_ = static_cast<size_t>(geometry.stamped_slot_bytes);
  ring_blocks = ring_blocks < 2 ? 2 : ring_blocks;
  const auto block_bytes = static_cast<size_t>(geometry.stamped_block_bytes);
  if (ring_blocks != ring_blocks_ || block_bytes != block_bytes_) {
    // Not cleared: the pages are taken from the system as the ring fills.
    ring_slots_.reset(new uint8_t[ring_blocks * block_bytes]);
    ring_first_samples_.reset(new std::atomic<int64_t>[ring_blocks * kSlots]);
    ring_.reset(new BlockState[ring_blocks]);
  }
  if (!half_first_samples_) half_first_samples_.reset(new std::atomic<int64_t>[2 * kSlots]);
  ring_blocks_ = ring_blocks;
  block_bytes_ = block_bytes;
  for (size_t i = 0; i < ring_blocks_; ++i) ring_[i].block.store(kNoBlock);
  for (BlockState& half : halves_state_) {
    half.block.store(kNoBlock);
    half.filled.store(0);
  }
  filling_.store(kNoBlock);
  copying_.store(0);
  published_.store(0);
  kept_.store(kNoBlock);
  taken_.store(0);
  missed_total_.store(0);
  current_block_ = 0;
  current_filled_ = 0;
  next_block_ = 0;
  next_slot_ = 0;
  next_index_ = 0;
  out_slots_.clear();
  out_first_samples_.clear();
}

// The half's old block is marked gone before its fields change, and a take
// that is copying from it at that moment finishes its few slots first.
void SampleDelivery::begin_block(uint32_t number) {
  BlockState& half = halves_state_[number & 1U];
  const uint64_t old = half.block.load(std::memory_order_relaxed);
  half.block.store(kNoBlock);
  if (old != kNoBlock) wait_unpinned(copying_, pin_of(old, false));
  half.first_index.store(published_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  half.filled.store(0, std::memory_order_relaxed);
  half.block.store(number, std::memory_order_release);
  filling_.store(number, std::memory_order_release);
  current_block_ = number;
  current_filled_ = 0;
}

void SampleDelivery::publish(int64_t first_sample) {
  const unsigned half = current_block_ & 1U;
  half_first_samples_[half * kSlots + current_filled_].store(first_sample, std::memory_order_relaxed);
  ++current_filled_;
  halves_state_[half].filled.store(current_filled_, std::memory_order_release);
  published_.store(published_.load(std::memory_order_relaxed) + 1);
}

// The saver owns the half while it keeps it: the receiver has handed it
// over and refills it only once the saver releases it. The ring entry is
// marked gone, and waits for a take copying from it, as in begin_block().
void SampleDelivery::keep(unsigned half) {
  const BlockState& from = halves_state_[half];
  const uint64_t block = from.block.load(std::memory_order_acquire);
  if (block == kNoBlock) return;
  const uint32_t filled = from.filled.load(std::memory_order_acquire);
  const size_t entry = block % ring_blocks_;
  BlockState& to = ring_[entry];
  const uint64_t old = to.block.load(std::memory_order_relaxed);
  to.block.store(kNoBlock);
  if (old != kNoBlock) wait_unpinned(copying_, pin_of(old, true));
  to.first_index.store(from.first_index.load(std::memory_order_relaxed), std::memory_order_relaxed);
  to.filled.store(filled, std::memory_order_relaxed);
  std::memcpy(ring_slots_.get() + entry * block_bytes_, halves_ + half * block_bytes_, filled * slot_bytes_);
  for (uint32_t i = 0; i < filled; ++i) {
    ring_first_samples_[entry * kSlots + i].store(
        half_first_samples_[half * kSlots + i].load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  to.block.store(block, std::memory_order_release);
  kept_.store(block, std::memory_order_release);
}

void SampleDelivery::release() {
  filling_.store(kNoBlock);
  ring_slots_.reset();
  ring_first_samples_.reset();
  ring_.reset();
  ring_blocks_ = 0;
  block_bytes_ = 0;
  out_slots_ = std::vector<uint8_t>();
  out_first_samples_ = std::vector<int64_t>();
}

SampleDelivery::Source SampleDelivery::half_source(unsigned half) {
  return {&halves_state_[half], halves_ + half * block_bytes_, &half_first_samples_[half * kSlots]};
}

SampleDelivery::Source SampleDelivery::ring_source(uint64_t block) {
  const size_t entry = block % ring_blocks_;
  return {&ring_[entry], ring_slots_.get() + entry * block_bytes_, &ring_first_samples_[entry * kSlots]};
}

TakenDatagrams SampleDelivery::take() {
  out_slots_.clear();
  out_first_samples_.clear();
  out_missed_ = 0;
  // Every turn hands over a block, moves past blocks the ring lost, or
  // finds that a block moved from its half to the ring while it was copied;
  // the bound only guards against a receiver that outruns every copy.
  for (size_t turns = 0; turns < 8 * (ring_blocks_ + 2); ++turns) {
    const uint64_t filling = filling_.load(std::memory_order_acquire);
    if (filling == kNoBlock || next_block_ > filling) break;
    const Copied copied = copy_block(next_block_, filling);
    if (copied == Copied::part) break;
    if (copied == Copied::all) {
      ++next_block_;
      next_slot_ = 0;
    } else if (copied == Copied::gone) {
      skip_to_oldest_kept();
    }
  }
  taken_.store(next_index_);
  missed_total_.fetch_add(out_missed_, std::memory_order_relaxed);
  TakenDatagrams taken;
  taken.slots = out_slots_.data();
  taken.first_samples = out_first_samples_.data();
  taken.count = out_first_samples_.size();
  taken.missed = out_missed_;
  return taken;
}

// A full block is taken from the ring where it is already, else from its
// half; the block in progress from its half, as far as it is filled.
SampleDelivery::Copied SampleDelivery::copy_block(uint64_t block, uint64_t filling) {
  const Source ring = ring_source(block);
  if (ring.state->block.load(std::memory_order_acquire) == block) {
    return copy_from(ring, block, true) ? Copied::all : Copied::retry;
  }
  const Source half = half_source(static_cast<unsigned>(block & 1U));
  if (half.state->block.load(std::memory_order_acquire) == block) {
    if (!copy_from(half, block, false)) return Copied::retry;
    return block < filling ? Copied::all : Copied::part;
  }
  const uint64_t kept = kept_.load(std::memory_order_acquire);
  return kept != kNoBlock && kept >= block + ring_blocks_ ? Copied::gone : Copied::retry;
}

// Appends the datagrams of `block` from the next one to take, a few slots
// at a time, each while the source is pinned and still holds the block.
// Returns false when it no longer did (a half refilled after the saver kept
// it, a ring entry overwritten); what was copied before stays.
bool SampleDelivery::copy_from(const Source& source, uint64_t block, bool in_ring) {
  const uint64_t pin = pin_of(block, in_ring);
  uint32_t filled = 0;
  for (bool first_chunk = true;; first_chunk = false) {
    copying_.store(pin);
    if (source.state->block.load() != block) {
      copying_.store(0, std::memory_order_release);
      return false;
    }
    if (first_chunk) {
      filled = source.state->filled.load(std::memory_order_acquire);
      next_index_ = source.state->first_index.load(std::memory_order_relaxed) + next_slot_;
    }
    const uint32_t end = std::min(filled, next_slot_ + kChunkSlots);
    if (end > next_slot_) {
      out_slots_.insert(out_slots_.end(), source.slots + next_slot_ * slot_bytes_,
                        source.slots + end * slot_bytes_);
      for (uint32_t i = next_slot_; i < end; ++i) {
        out_first_samples_.push_back(source.first_samples[i].load(std::memory_order_relaxed));
      }
      next_index_ += end - next_slot_;
      next_slot_ = end;
    }
    copying_.store(0, std::memory_order_release);
    if (next_slot_ >= filled) return true;
  }
}

// The caller fell behind by more than the ring: it goes on from the oldest
// block kept, and every datagram before that one counts as missed.
void SampleDelivery::skip_to_oldest_kept() {
  for (;;) {
    const uint64_t kept = kept_.load(std::memory_order_acquire);
    const uint64_t oldest = kept + 1 - ring_blocks_;
    const BlockState& entry = ring_[oldest % ring_blocks_];
    copying_.store(pin_of(oldest, true));
    const bool held = entry.block.load() == oldest;
    const uint64_t first = entry.first_index.load(std::memory_order_relaxed);
    copying_.store(0, std::memory_order_release);
    if (held) {
      out_missed_ += first - next_index_;
      next_block_ = oldest;
      next_slot_ = 0;
      next_index_ = first;
      return;
    }
  }
}

}  // namespace kivo
