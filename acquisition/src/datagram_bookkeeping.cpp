#include "kivo/datagram_bookkeeping.h"

#include <algorithm>

namespace kivo {

void count_datagram(StatusCounters& counters, kivo::SequenceTracker& sequence, const uint8_t* datagram,
                    const kivo::net::Received& received) {
  counters.datagrams.fetch_add(1, std::memory_order_relaxed);
  counters.bytes.fetch_add(static_cast<uint64_t>(received.length), std::memory_order_relaxed);
  if (received.drop_count_valid) {
    counters.kernel_drops.store(received.kernel_drops, std::memory_order_relaxed);
  }
  if (sequence.note_datagram(datagram, received.length)) {
    counters.sequence_gaps.fetch_add(1, std::memory_order_relaxed);
  }
}

void add_unread(std::atomic<size_t>& unread, size_t length, size_t cap) {
  size_t now = unread.load(std::memory_order_relaxed);
  while (!unread.compare_exchange_weak(now, std::min(now + length, cap), std::memory_order_seq_cst,
                                       std::memory_order_relaxed)) {
  }
}

bool take_unread(std::atomic<size_t>& unread, size_t size, size_t cap) {
  size_t now = unread.load(std::memory_order_acquire);
  do {
    if (now < size) return false;
  } while (!unread.compare_exchange_weak(now, std::min(cap, now - size), std::memory_order_acq_rel,
                                         std::memory_order_acquire));
  return true;
}

}  // namespace kivo
