#include "kivo/latest_datagram.h"

#include <cstring>
#include <thread>

#include "kivo/datagram_bookkeeping.h"

namespace kivo {

void LatestDatagram::reset(const uint8_t* blocks, const kivo::Geometry& geometry) {
  blocks_ = blocks;
  block_bytes_ = static_cast<size_t>(geometry.stamped_block_bytes);
  datagram_bytes_ = static_cast<size_t>(geometry.datagram_size_bytes);
  slot_bytes_ = static_cast<size_t>(geometry.stamped_slot_bytes);
  unread_bytes_.store(0);
  latest_slot_.store(0);
  filling_block_.store(0);
  read_stamp_ = 0;
}

// Announces the block, then lets a 'read' that is copying a slot of this
// half from its previous fill finish: either 'read' sees the new block
// number and copies a newer slot instead, or the receiver sees the copy and
// waits for it.
void LatestDatagram::begin_block(uint32_t number) {
  filling_block_.store(number);
  for (;;) {
    const uint32_t copying = copying_block_.load();
    if (copying == 0 || ((copying - 1) & 1U) != (number & 1U) || copying - 1 == number) return;
    std::this_thread::yield();
  }
}

// Whoever sees the new unread count also sees the slot, complete.
void LatestDatagram::publish(uint32_t number, size_t slot_offset, size_t length) {
  latest_slot_.store((uint64_t{number} << 32) | slot_offset, std::memory_order_release);
  add_unread(unread_bytes_, length, block_bytes_);
}

const uint8_t* LatestDatagram::read() {
  if (blocks_ == nullptr) return nullptr;  // no 'open' yet
  if (!take_unread(unread_bytes_, datagram_bytes_, block_bytes_)) return nullptr;
  if (copy_.size() < slot_bytes_) copy_.resize(slot_bytes_);  // created once, grown for a larger datagram
  for (;;) {
    const uint64_t latest = latest_slot_.load(std::memory_order_acquire);
    const auto number = static_cast<uint32_t>(latest >> 32);
    copying_block_.store(number + 1);
    if (filling_block_.load() - number < 2) {
      std::memcpy(copy_.data(), blocks_ + (latest & 0xFFFFFFFFU), slot_bytes_);
      copying_block_.store(0, std::memory_order_release);
      std::memcpy(&read_stamp_, copy_.data(), sizeof read_stamp_);
      return copy_.data() + kivo::kStampBytes;
    }
    // The receiver has begun to refill the half this slot lies in. Usually a
    // newer datagram has been published meanwhile; if not (a whole block of
    // failed receives), the latest datagram is being overwritten: none to give.
    copying_block_.store(0, std::memory_order_release);
    if (latest_slot_.load(std::memory_order_acquire) == latest) return nullptr;
  }
}

}  // namespace kivo
