#include "stop_request.h"

#include <atomic>
#include <csignal>

namespace kivo::sim {
namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void on_stop_signal(int) { g_stop.store(true, std::memory_order_relaxed); }

}  // namespace

void install_stop_handlers() {
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
}

bool stop_requested() { return g_stop.load(std::memory_order_relaxed); }

}  // namespace kivo::sim
