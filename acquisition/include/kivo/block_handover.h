// Passes full blocks from the receiver thread to the save thread: a list of
// pending halves under a mutex, with a condition variable. A block handed
// over while the saver is busy waits its turn rather than merging with the
// next, a spurious wake-up finds nothing to write, and the receiver never
// refills a half of the buffer that the saver has not finished with.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>

namespace kivo {

class BlockHandover {
 public:
  // host thread, before either worker starts: both halves free, nothing pending.
  void reset();

  // Receiver only: waits until the saver is done with `half`. Returns false
  // when stop() was called. `waited` tells whether the saver was still busy.
  bool claim(unsigned half, bool& waited);

  // Receiver only: the block in `half` is complete; the saver takes it next.
  void hand_over(unsigned half);

  // Saver only: the next block to write, in hand-over order; nothing once
  // stop() was called and every handed-over block has been taken.
  std::optional<unsigned> take();

  // Saver only: finished with `half`; the receiver may refill it.
  void release(unsigned half);

  // host thread: no further blocks. Wakes both workers.
  void stop();

  // host thread of a forked child: the workers that wait here run only in
  // the parent, and a condition they wait on cannot be destroyed here (that
  // waits for them for ever); the mutex and the condition are made anew.
  void forget_waiters();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  // All guarded by mutex_.
  bool busy_[2] = {false, false};        // handed over and not yet released
  unsigned pending_halves_[2] = {0, 0};  // oldest first
  size_t pending_count_ = 0;
  bool stopping_ = false;
};

}  // namespace kivo
