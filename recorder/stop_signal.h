// The console's request to stop: Ctrl-C, and the other requests to end
// (SIGTERM, SIGHUP and SIGQUIT on POSIX; Ctrl-Break, closing the console
// window, log-off and shut-down on Windows).
// The realisations live in posix/ and win/.
#pragma once

#include <functional>
#include <memory>

namespace kivo::recorder {

class ConsoleStop {
 public:
  using Handler = std::function<void()>;

  ConsoleStop();
  // Main thread: stops handling requests; returns once a handler that is
  // running has returned.
  ~ConsoleStop();
  ConsoleStop(const ConsoleStop&) = delete;
  ConsoleStop& operator=(const ConsoleStop&) = delete;

  // Main thread, before any other thread starts: from now on every stop
  // request calls `handler` on a thread that is not the main thread and not a
  // signal handler, so the handler may lock, print and wait. Returns 0 or the
  // platform's error code.
  int install(Handler handler);

  // How the latest stop request came: Ctrl-C, or another request to end
  // (SIGTERM, SIGHUP, SIGQUIT on POSIX). Any thread.
  enum class Request { none, interrupt, other };
  Request last_request() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kivo::recorder
