// Wakes callers that wait for a datagram ('read' or 'samples' with a
// timeout) as soon as one arrives, rather than letting them poll. The
// receiver looks at one atomic count after each datagram and signals only
// when someone waits, so a run without waiting callers pays a load per
// datagram and nothing more. 'close' ends every wait at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kivo {

class ArrivalSignal {
 public:
  using Clock = std::chrono::steady_clock;

  // Receiver thread (or the host thread at 'close'), after it published a
  // datagram with a sequentially consistent store: wakes the waiters, if any.
  void announce() {
    if (waiters_.load() != 0) wake();
  }

  // host thread ('close'): every wait begun before returns, and the ones
  // that compare with an earlier ends() return at once.
  void end_waits() {
    ends_.fetch_add(1);
    wake();
  }
  // Any thread: how many times end_waits() was called.
  uint64_t ends() const { return ends_.load(); }

  // Any thread: waits until arrived() holds, end_waits() has been called
  // since `ends` was read, or `until`. arrived() reads only atomics, with
  // sequentially consistent loads. Returns arrived().
  template <typename Arrived>
  bool wait(Arrived arrived, uint64_t ends, Clock::time_point until) {
    waiters_.fetch_add(1);
    bool ready = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready = woken_.wait_until(lock, until, [&] { return arrived() || ends_.load() != ends; }) && arrived();
    }
    waiters_.fetch_sub(1);
    return ready;
  }

 private:
  // Taking the mutex before notifying means a waiter either has not yet
  // tested its condition (and will see the datagram) or already sleeps.
  void wake() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    woken_.notify_all();
  }

  // Waiting threads add and take; the receiver reads after each datagram.
  std::atomic<uint32_t> waiters_{0};
  // host thread adds at 'close'; any thread reads.
  std::atomic<uint64_t> ends_{0};
  // Guard the sleep of the waiters and nothing else.
  std::mutex mutex_;
  std::condition_variable woken_;
};

}  // namespace kivo
