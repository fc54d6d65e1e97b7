// kivorec: records the Kivo device's datagrams arriving on UDP port 55000 to
// a timestamped file in the working directory, in blocks of 1000, until the
// console asks it to stop.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace kivo::recorder {

inline constexpr uint16_t kPort = 55000;
// Enough kernel buffer to ride out a disk or scheduling stall of a fraction of
// a second at the device's full rate.
inline constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
// Memory for the blocks held between receiver and writer (193 blocks at 8
// or 16 channels, 103 at 15): minutes of the device's usual stream and
// nearly 10 s at 20,000 datagrams a second, so that a disk whose
// write-through stalls for seconds loses nothing.
inline constexpr size_t kRingBytes = size_t{256} << 20;
// A console stop waits for the block in progress to complete while
// datagrams arrive; this long without one, it cuts the block short.
inline constexpr std::chrono::milliseconds kStopGrace{1000};

// Exit statuses: everything received was written; the recording ended as
// asked but not everything received reached the file (blocks not saved, or
// datagrams the system dropped); the recording failed.
inline constexpr int kStatusComplete = 0;
inline constexpr int kStatusIncomplete = 3;
inline constexpr int kStatusFailed = -1;

// What a test may change: the ring's size, and a pause before each block
// write (a slow disk).
struct Settings {
  size_t ring_bytes = kRingBytes;
  std::function<void()> before_write;
};

// The whole program, on the main thread; returns the exit status.
int run(int argc, char** argv, const Settings& settings = Settings{});

}  // namespace kivo::recorder
