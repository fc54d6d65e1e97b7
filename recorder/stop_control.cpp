#include "stop_control.h"

namespace kivo::recorder {

void StopControl::console_stop(std::chrono::milliseconds grace) {
  std::unique_lock<std::mutex> lock(mutex_);
  stop_requested_ = true;
  if (!ended_changed_.wait_for(lock, grace, [&] { return ended_; })) cut_locked();
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
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
  }
  ended_changed_.notify_all();
}

void StopControl::cut_locked() {
  // The flag first: the loop reads it when the woken receive returns.
  cut_short_ = true;
  if (socket_ != nullptr) socket_->interrupt();
}

}  // namespace kivo::recorder
