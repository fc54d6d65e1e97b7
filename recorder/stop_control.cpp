#include "stop_control.h"

#include <cstdio>

namespace kivo::recorder {

StopControl::~StopControl() { mark_ended(); }

void StopControl::console_stop(std::chrono::milliseconds quiet) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_requested_ && !aborted_) {
    cut_locked();  // asked again: the user does not want to wait for the block
    return;
  }
  std::printf("Ctrl-C event\n\n");
  std::fflush(stdout);
  stop_requested_ = true;
  if (!ended_ && !watch_.joinable()) watch_ = std::thread([this, quiet] { watch(quiet); });
}

// Watch thread: cuts the block short once no datagram has arrived for
// `quiet`, looking a few times within that span so that the cut comes at
// most a quarter of it late.
void StopControl::watch(std::chrono::milliseconds quiet) {
  constexpr int kLooks = 4;
  const auto look = quiet / kLooks;
  std::unique_lock<std::mutex> lock(mutex_);
  uint64_t seen = arrivals_.load(std::memory_order_relaxed);
  int quiet_looks = 0;
  while (!changed_.wait_for(lock, look, [&] { return ended_ || cut_short_.load(); })) {
    const uint64_t now = arrivals_.load(std::memory_order_relaxed);
    quiet_looks = now == seen ? quiet_looks + 1 : 0;
    seen = now;
    if (quiet_looks >= kLooks) {
      cut_locked();
      return;
    }
  }
}

void StopControl::abort() {
  std::lock_guard<std::mutex> lock(mutex_);
  aborted_ = true;
  stop_requested_ = true;
  cut_locked();
}

void StopControl::attach(net::UdpSocket& socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  socket_ = &socket;
  if (cut_short_) socket.interrupt();  // the cut came before the socket did
}

void StopControl::detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  socket_ = nullptr;
}

void StopControl::mark_ended() {
  std::thread watch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    watch = std::move(watch_);
  }
  changed_.notify_all();
  if (watch.joinable()) watch.join();
}

void StopControl::cut_locked() {
  // The flag first: the loop reads it when the woken receive returns.
  cut_short_ = true;
  if (socket_ != nullptr) socket_->interrupt();
  changed_.notify_all();
}

}  // namespace kivo::recorder
