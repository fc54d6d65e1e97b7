// 'read': a poll of the latest datagram, paced by the unread-byte count.
#include <atomic>
#include <cstring>

#include "velto/acquisition.h"
#include "velto/datagram_bookkeeping.h"

namespace velto {

const uint8_t* AcquisitionState::read() {
  const auto size = static_cast<size_t>(datagram_size_bytes);
  if (!take_unread(N, size, static_cast<size_t>(total_bytes))) return nullptr;
  if (vraw.size() < size) vraw.resize(size);  // created once, grown for a larger datagram
  for (;;) {
    const uint64_t latest = reader.load(std::memory_order_acquire);
    const auto epoch = static_cast<uint32_t>(latest >> 32);
    copying_.store(epoch + 1);
    if (block_epoch_.load() - epoch < 2) {
      const uint8_t* slot = vreadbuf.data() + (latest & 0xFFFFFFFFU);
      std::memcpy(&read_stamp_, slot, sizeof read_stamp_);
      std::memcpy(vraw.data(), slot + kivo::kStampBytes, size);
      copying_.store(0, std::memory_order_release);
      return vraw.data();
    }
    // The receiver has begun to refill the half this slot lies in. Usually a
    // newer datagram has been published meanwhile; if not (a whole block of
    // failed receives), the latest datagram is being overwritten: none to give.
    copying_.store(0, std::memory_order_release);
    if (reader.load(std::memory_order_acquire) == latest) return nullptr;
  }
}

}  // namespace velto
