#include "kivo/file_rows.h"

namespace kivo {

std::optional<uint64_t> FileRows::row_of(int64_t n) const {
  if (!known) return std::nullopt;
  if (n <= run_sample) return run_row;
  return run_row + static_cast<uint64_t>(n - run_sample);
}

void SharedFileRows::reset(int32_t nsamp) {
  published_ = FileRows{};
  published_.nsamp = nsamp;
  last_slot_ = 0;
  last_first_sample_ = 0;
  write(published_);
}

// A run ends where a slot is skipped (the stale slots a block's failed
// receives leave) or the samples do not follow on (a gap, a late datagram,
// a restart).
void SharedFileRows::note(uint64_t slot, int64_t first_sample) {
  const bool follows =
      published_.known && slot == last_slot_ + 1 && first_sample == last_first_sample_ + published_.nsamp;
  last_slot_ = slot;
  last_first_sample_ = first_sample;
  if (follows) return;
  if (!published_.known) published_.first_sample = first_sample;
  published_.known = true;
  published_.run_sample = first_sample;
  published_.run_row = slot * static_cast<uint64_t>(published_.nsamp);
  write(published_);
}

// A sequence lock, as SharedClockLines has.
void SharedFileRows::write(const FileRows& rows) {
  const uint64_t version = version_.load(std::memory_order_relaxed);
  version_.store(version + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  known_.store(rows.known, std::memory_order_relaxed);
  nsamp_.store(rows.nsamp, std::memory_order_relaxed);
  first_sample_.store(rows.first_sample, std::memory_order_relaxed);
  run_sample_.store(rows.run_sample, std::memory_order_relaxed);
  run_row_.store(rows.run_row, std::memory_order_relaxed);
  version_.store(version + 2, std::memory_order_release);
}

FileRows SharedFileRows::read() const {
  for (;;) {
    const uint64_t before = version_.load(std::memory_order_acquire);
    FileRows rows;
    rows.known = known_.load(std::memory_order_relaxed);
    rows.nsamp = nsamp_.load(std::memory_order_relaxed);
    rows.first_sample = first_sample_.load(std::memory_order_relaxed);
    rows.run_sample = run_sample_.load(std::memory_order_relaxed);
    rows.run_row = run_row_.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((before & 1U) == 0 && version_.load(std::memory_order_relaxed) == before) return rows;
  }
}

}  // namespace kivo
