#include "block_ring.h"

#include <algorithm>

namespace kivo::recorder {

BlockRing::BlockRing(size_t block_bytes, size_t capacity_blocks)
    : block_bytes_(block_bytes),
      capacity_(std::max<size_t>(capacity_blocks, 2)),
      memory_(block_bytes_ * capacity_),
      filled_bytes_(capacity_),
      block_numbers_(capacity_) {}

bool BlockRing::hand_over(size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t number = ++completed_;
    // Moving on needs a free block besides this one.
    if (pending_ + 1 >= capacity_) {
      ++dropped_;
      return false;
    }
    filled_bytes_[fill_index_] = bytes;
    block_numbers_[fill_index_] = number;
    ++pending_;
    fill_index_ = next(fill_index_);
  }
  handed_over_.notify_one();
  return true;
}

void BlockRing::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  handed_over_.notify_all();
}

std::optional<FullBlock> BlockRing::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  handed_over_.wait(lock, [&] { return pending_ > 0 || closed_; });
  if (pending_ == 0) return std::nullopt;
  return FullBlock{memory_.data() + oldest_ * block_bytes_, filled_bytes_[oldest_], block_numbers_[oldest_]};
}

void BlockRing::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_ == 0) return;
    oldest_ = next(oldest_);
    --pending_;
  }
  released_.notify_all();
}

size_t BlockRing::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_;
}

size_t BlockRing::wait_until_at_most(size_t blocks, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  released_.wait_for(lock, limit, [&] { return pending_ <= blocks; });
  return pending_;
}

uint64_t BlockRing::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

}  // namespace kivo::recorder
