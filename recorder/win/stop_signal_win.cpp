// Windows realisation of the console stop: a console control handler.
// Windows calls it on a thread of its own for each console event, so the
// handler may lock, print and wait.
//
// Ctrl-C asks for a stop and lets the program end by itself; Ctrl-Break does
// the same as another request to end. Closing the console window, log-off
// and shut-down stop the recording as a second request does, at once, and
// Windows ends the process as soon as the handler returns, so for those the
// handler waits until the program has finished its files.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "stop_signal.h"

namespace kivo::recorder {
namespace {

// How long a handler for closing, log-off or shut-down keeps the process
// alive while the program finishes; Windows ends it after about 5 s anyway.
constexpr DWORD kFinishWaitMs = 4500;

// What a console event needs of the console stop in force.
struct StopState {
  ConsoleStop::Handler handler;
  std::atomic<DWORD> last_event{0};
  std::atomic<bool> have_request{false};
  // Set when the program has finished; a handler that ends the process waits for it.
  HANDLE finished = nullptr;

  ~StopState() {
    if (finished != nullptr) CloseHandle(finished);
  }
};

// Windows' handler takes no context, and may be running on its own thread
// when the console stop ends: what they share lives for the whole process.
struct Registry {
  std::mutex mutex;
  std::condition_variable idle;
  StopState* current = nullptr;  // guarded by mutex
  int running_handlers = 0;      // guarded by mutex
};

Registry& registry() {
  static Registry* const instance = new Registry;  // never destroyed: handlers may outlive main
  return *instance;
}

bool ends_process_on_return(DWORD event) { return event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT; }

}  // namespace

struct ConsoleStop::Impl : StopState {};

namespace {

// Console-event thread.
BOOL WINAPI on_console_event(DWORD event) {
  Registry& r = registry();
  StopState* impl = nullptr;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    impl = r.current;
    if (impl == nullptr) return FALSE;  // not recording: Windows' default handling
    ++r.running_handlers;
  }
  impl->last_event = event;
  impl->have_request = true;
  impl->handler();
  if (ends_process_on_return(event)) {
    // Windows ends the process within seconds: the block in progress is cut
    // short at once, as a second request does, and the files completed.
    impl->handler();
    WaitForSingleObject(impl->finished, kFinishWaitMs);
  }
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    --r.running_handlers;
  }
  r.idle.notify_all();
  return TRUE;
}

}  // namespace

ConsoleStop::ConsoleStop() = default;

ConsoleStop::~ConsoleStop() {
  if (!impl_) return;
  Registry& r = registry();
  std::unique_lock<std::mutex> lock(r.mutex);
  r.current = nullptr;  // later events get Windows' default handling
  SetEvent(impl_->finished);
  r.idle.wait(lock, [&] { return r.running_handlers == 0; });
  // The handler stays installed and declines every event from now on:
  // removing it could race with Windows calling it.
}

ConsoleStop::Request ConsoleStop::last_request() const {
  if (!impl_ || !impl_->have_request) return Request::none;
  return impl_->last_event == CTRL_C_EVENT ? Request::interrupt : Request::other;
}

int ConsoleStop::install(Handler handler) {
  auto impl = std::make_unique<Impl>();
  impl->handler = std::move(handler);
  impl->finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (impl->finished == nullptr) return static_cast<int>(GetLastError());
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.current != nullptr) return ERROR_ALREADY_EXISTS;
    r.current = impl.get();
  }
  if (!SetConsoleCtrlHandler(on_console_event, TRUE)) {
    const int error = static_cast<int>(GetLastError());
    std::lock_guard<std::mutex> lock(r.mutex);
    r.current = nullptr;
    return error;
  }
  impl_ = std::move(impl);
  return 0;
}

}  // namespace kivo::recorder
