// Waiting on a condition with a deadline, for the C++ tests of every platform.
#pragma once

#include <chrono>
#include <thread>

namespace kivo_test {

// Polls `done` every `poll` until it holds or `limit` passes; returns whether
// it held. The limit is generous: it ends a hung test, not a slow one.
template <typename Done>
bool wait_until(Done done, std::chrono::milliseconds limit = std::chrono::seconds(60),
                std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace kivo_test
