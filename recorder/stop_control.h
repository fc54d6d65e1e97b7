// When the receive loop ends. A console stop lets the block in progress
// complete, but only for a short grace period: a device that has stopped, or
// sends slowly, must not keep the recorder from ending. A failed block write
// ends the loop at once. Either way the loop is woken from a blocked receive
// through the socket, with a flag of its own to tell that wake-up from an
// empty datagram.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kivo/udp_socket.h"

namespace kivo::recorder {

class StopControl {
 public:
  // Console-stop thread: asks the loop to end after the block in progress.
  // Returns once the loop has ended, or after `grace`, when it cuts the
  // block short.
  void console_stop(std::chrono::milliseconds grace);

  // Writer thread: the file cannot take more; the loop ends now.
  void abort();

  // Main thread: the socket the loop receives on, from before the loop starts
  // until after it has ended.
  void attach(net::UdpSocket& socket);
  void detach();

  // Main thread: the loop has ended, or will not run.
  void mark_ended();

  // Receiving thread: end after the block in progress.
  bool stop_requested() const { return stop_requested_.load(); }
  // Receiving thread: end now; a receive that returns nothing was woken.
  bool cut_short() const { return cut_short_.load(); }
  // Any thread: the writer has given up.
  bool aborted() const { return aborted_.load(); }

 private:
  void cut_locked();

  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> cut_short_{false};
  std::atomic<bool> aborted_{false};
  std::mutex mutex_;
  std::condition_variable ended_changed_;
  bool ended_ = false;
  net::UdpSocket* socket_ = nullptr;
};

}  // namespace kivo::recorder
