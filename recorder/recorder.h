// kivorec: records the Kivo device's datagrams arriving on UDP port 55000 to
// a timestamped file in the working directory, in blocks of 1000, until the
// console asks it to stop.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kivo::recorder {

inline constexpr uint16_t kPort = 55000;
// Enough kernel buffer to ride out a disk or scheduling stall of a fraction of
// a second at the device's full rate.
inline constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;
// Blocks held between receiver and writer: several seconds of the device's
// stream, so a stalling disk loses nothing.
inline constexpr size_t kRingBlocks = 16;
// How long a console stop waits for the block in progress to complete.
inline constexpr std::chrono::milliseconds kStopGrace{1000};

// The whole program, on the main thread; returns the exit status.
int run(int argc, char** argv);

}  // namespace kivo::recorder
