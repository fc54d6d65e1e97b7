// When the receive loop ends. A console stop lets the block in progress
// complete while datagrams keep arriving, so that the file ends with whole
// blocks; it cuts the block short once no datagram has come for a while (the
// device has stopped) or at a second stop request. A failed block write ends
// the loop at once. Either way the loop is woken from a blocked receive
// through the socket, with a flag of its own to tell that wake-up from an
// empty datagram.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "kivo/udp_socket.h"

namespace kivo::recorder {

class StopControl {
 public:
  StopControl() = default;
  // Joins the watch of a console stop, if mark_ended() has not.
  ~StopControl();
  StopControl(const StopControl&) = delete;
  StopControl& operator=(const StopControl&) = delete;

  // Console-stop thread: the first request calls `notice` (which must not
  // wait), asks the loop to end after the block in progress and starts a
  // watch that cuts the block short once no datagram has arrived for
  // `quiet`; a second request cuts it short at once. Returns without waiting.
  void console_stop(std::chrono::milliseconds quiet, const std::function<void()>& notice);

  // Writer thread: the file cannot take more; the loop ends now.
  void abort();

  // Main thread: the socket the loop receives on, from before the loop starts
  // until after it has ended.
  void attach(net::UdpSocket& socket);
  void detach();

  // Main thread: the loop has ended, or will not run; ends the watch.
  void mark_ended();

  // Receiving thread: a datagram arrived (keeps a console stop waiting for
  // the block in progress).
  void note_arrival() { arrivals_.fetch_add(1, std::memory_order_relaxed); }
  // Receiving thread: end after the block in progress.
  bool stop_requested() const { return stop_requested_.load(); }
  // Receiving thread: end now; a receive that returns nothing was woken.
  bool cut_short() const { return cut_short_.load(); }
  // Any thread: the writer has given up.
  bool aborted() const { return aborted_.load(); }

 private:
  void watch(std::chrono::milliseconds quiet);
  void cut_locked();

  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> cut_short_{false};
  std::atomic<bool> aborted_{false};
  std::atomic<uint64_t> arrivals_{0};  // written by the receiving thread, read by the watch
  std::mutex mutex_;
  std::condition_variable changed_;
  bool ended_ = false;                // guarded by mutex_
  net::UdpSocket* socket_ = nullptr;  // guarded by mutex_
  std::thread watch_;  // started under mutex_ by the first console stop; joined by the main thread
};

}  // namespace kivo::recorder
