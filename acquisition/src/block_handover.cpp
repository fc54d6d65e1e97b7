#include "kivo/block_handover.h"

#include <new>

namespace kivo {

void BlockHandover::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_[0] = busy_[1] = false;
  pending_count_ = 0;
  stopping_ = false;
}

bool BlockHandover::claim(unsigned half, bool& waited) {
  std::unique_lock<std::mutex> lock(mutex_);
  waited = busy_[half] && !stopping_;
  changed_.wait(lock, [&] { return !busy_[half] || stopping_; });
  return !stopping_;
}

void BlockHandover::hand_over(unsigned half) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_[half] = true;
    pending_halves_[pending_count_++] = half;  // at most both halves can be pending
  }
  changed_.notify_all();
}

std::optional<unsigned> BlockHandover::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return pending_count_ > 0 || stopping_; });
  if (pending_count_ == 0) return std::nullopt;
  const unsigned half = pending_halves_[0];
  pending_halves_[0] = pending_halves_[1];
  --pending_count_;
  return half;
}

void BlockHandover::release(unsigned half) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_[half] = false;
  }
  changed_.notify_all();
}

void BlockHandover::forget_waiters() {
  new (&mutex_) std::mutex();
  new (&changed_) std::condition_variable();
}

void BlockHandover::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

}  // namespace kivo
