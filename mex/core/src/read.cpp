// 'read': a poll of the latest datagram, paced by the unread-byte count.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "velto/acquisition.h"

namespace velto {

const uint8_t* AcquisitionState::read() {
  const auto size = static_cast<size_t>(datagram_size_bytes);
  size_t unread = N.load(std::memory_order_acquire);
  do {
    if (unread < size) return nullptr;
  } while (!N.compare_exchange_weak(unread,
                                    std::min(static_cast<size_t>(total_bytes), unread - size),
                                    std::memory_order_acq_rel, std::memory_order_acquire));
  if (vraw.size() < size) vraw.resize(size);  // created once, grown for a larger datagram
  for (;;) {
    const uint64_t latest = reader.load(std::memory_order_acquire);
    const uint8_t* slot = vreadbuf.data() + (latest & 0xFFFFFFFFU);
    std::memcpy(vraw.data(), slot + kivo::kStampBytes, size);
    // If the receiver came back to this half while we copied, the copy may
    // be torn: take the newest datagram again.
    std::atomic_thread_fence(std::memory_order_acquire);
    const uint32_t now_filling = block_epoch_.load(std::memory_order_relaxed);
    if (now_filling - static_cast<uint32_t>(latest >> 32) < 2) return vraw.data();
  }
}

}  // namespace velto
