// POSIX realisation of the console stop: SIGINT, SIGTERM, SIGHUP (the
// terminal closed, the ssh connection dropped) and SIGQUIT are blocked in
// every thread and taken by one thread that waits for them with sigwait, so
// no work happens inside a signal handler and every one of them ends the
// recording with its files complete.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "stop_signal.h"

namespace kivo::recorder {

struct ConsoleStop::Impl {
  Handler handler;
  sigset_t signals{};
  std::atomic<bool> closing{false};
  std::atomic<int> last_signal{0};
  std::thread watcher;

  // Watcher thread only.
  void watch() {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&signals, &signal_number) != 0) return;
      if (closing) return;
      last_signal = signal_number;
      handler();
    }
  }
};

ConsoleStop::ConsoleStop() = default;

ConsoleStop::~ConsoleStop() {
  if (!impl_) return;
  impl_->closing = true;
  // Wakes the watcher; the signal is blocked everywhere, so it goes nowhere else.
  pthread_kill(impl_->watcher.native_handle(), SIGTERM);
  impl_->watcher.join();
}

ConsoleStop::Request ConsoleStop::last_request() const {
  if (!impl_ || impl_->last_signal == 0) return Request::none;
  return impl_->last_signal == SIGINT ? Request::interrupt : Request::other;
}

int ConsoleStop::install(Handler handler) {
  auto impl = std::make_unique<Impl>();
  impl->handler = std::move(handler);
  sigemptyset(&impl->signals);
  sigaddset(&impl->signals, SIGINT);
  sigaddset(&impl->signals, SIGTERM);
  sigaddset(&impl->signals, SIGHUP);
  sigaddset(&impl->signals, SIGQUIT);
  // Threads inherit the mask, so every thread started after this leaves the
  // signals to the watcher.
  if (const int error = pthread_sigmask(SIG_BLOCK, &impl->signals, nullptr)) return error;
  try {
    impl->watcher = std::thread([raw = impl.get()] { raw->watch(); });
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_UNBLOCK, &impl->signals, nullptr);
    return e.code().value();
  }
  impl_ = std::move(impl);
  return 0;
}

}  // namespace kivo::recorder
