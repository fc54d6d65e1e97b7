// The receiver thread: one receive per datagram, straight into its slot.
#include <atomic>
#include <cstring>
#include <thread>

#include "kivo/clock.h"
#include "kivo/datagram.h"
#include "kivo/thread_signals.h"
#include "velto/acquisition.h"
#include "velto/datagram_bookkeeping.h"

namespace velto {

void AcquisitionState::udprcv_threadfunc() {
  kivo::block_signals_in_this_thread();
  unsigned half = 0;
  for (uint32_t epoch = 0; bContinue.load(); ++epoch, half ^= 1U) {
    bool waited = false;
    if (!handover_.claim(half, waited)) return;
    if (waited) counters_.writer_stalls.fetch_add(1, std::memory_order_relaxed);
    wait_for_copy_from_half(epoch);
    if (!receive_block(vreadbuf.data() + half * static_cast<size_t>(total_bytes), epoch)) return;
    // A block completed after 'close' began is not saved.
    if (!bContinue.load()) return;
    handover_.hand_over(half);
  }
}

// Announces the block, then lets a 'read' that is copying a slot of this
// half from its previous fill finish: either 'read' sees the new block
// number and copies a newer slot instead, or the receiver sees the copy and
// waits the fraction of a microsecond it takes.
void AcquisitionState::wait_for_copy_from_half(uint32_t epoch) {
  block_epoch_.store(epoch);
  for (;;) {
    const uint32_t copying = copying_.load();
    if (copying == 0 || ((copying - 1) & 1U) != (epoch & 1U) || copying - 1 == epoch) return;
    std::this_thread::yield();
  }
}

// Makes 1000 receive attempts into the half at `base`. Returns false when
// 'close' stopped the block part-way.
bool AcquisitionState::receive_block(uint8_t* base, uint32_t epoch) {
  const auto datagram_bytes = static_cast<size_t>(datagram_size_bytes);
  const size_t slot_bytes = datagram_bytes + kivo::kStampBytes;
  const auto base_offset = static_cast<uint64_t>(base - vreadbuf.data());
  size_t offset = 0;
  int attempts = 0;
  while (attempts < kivo::kSlotsPerBlock) {
    if (!bContinue.load(std::memory_order_relaxed)) return false;
    uint8_t* slot = base + offset;
    const kivo::net::Received received = sock.receive(slot + kivo::kStampBytes, datagram_bytes);
    if (received.interrupted) continue;  // a signal is not a receive
    ++attempts;
    if (received.length <= 0) {
      if (!bContinue.load()) return false;  // woken by 'close'
      // An error or an empty datagram uses up the attempt and takes no slot.
      counters_.failed_receives.fetch_add(1, std::memory_order_relaxed);
      if (received.length == 0) note_size(slot + kivo::kStampBytes, received);
      continue;
    }
    note_size(slot + kivo::kStampBytes, received);
    const double stamp = kivo::unix_time_seconds();
    std::memcpy(slot, &stamp, sizeof stamp);
    count_datagram(counters_, sequence_, slot + kivo::kStampBytes, received);
    publish((uint64_t{epoch} << 32) | (base_offset + offset), static_cast<size_t>(received.length));
    offset += slot_bytes;
  }
  return true;
}

// Counts a datagram that is not of the channel count's size. A short one
// that took a slot leaves it zero beyond what arrived, not holding an earlier
// datagram's samples; an empty one takes no slot and leaves it as it is.
void AcquisitionState::note_size(uint8_t* datagram, const kivo::net::Received& received) {
  if (!wrong_sizes_.note(received)) return;
  counters_.wrong_size_datagrams.fetch_add(1, std::memory_order_relaxed);
  const auto length = static_cast<size_t>(received.length);
  const auto size = static_cast<size_t>(datagram_size_bytes);
  if (length > 0 && length < size) std::memset(datagram + length, 0, size - length);
}

// Names the slot as the latest datagram, then counts its bytes as unread:
// whoever sees the count also sees the slot, complete.
void AcquisitionState::publish(uint64_t latest, size_t length) {
  reader.store(latest, std::memory_order_release);
  add_unread(N, length, static_cast<size_t>(total_bytes));
}

}  // namespace velto
