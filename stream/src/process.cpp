#include <atomic>
#include <utility>

#include "kivo/process.h"

namespace kivo {
namespace {

// The handles abandoned in this process, never destroyed: a std::thread
// that still names a thread ends the program when it is destroyed.
struct Abandoned {
  std::thread thread;
  Abandoned* next;
};
// Any thread pushes.
std::atomic<Abandoned*> g_abandoned{nullptr};

}  // namespace

void abandon_thread(std::thread& thread) {
  if (!thread.joinable()) return;
  auto* kept = new Abandoned{std::move(thread), g_abandoned.load()};
  while (!g_abandoned.compare_exchange_weak(kept->next, kept)) {
  }
}

}  // namespace kivo
