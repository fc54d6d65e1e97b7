// The socket receive buffer the acquisition asks of the system.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kivo {

// Several block periods of buffering ride out a slow write or a busy host:
// at 20,000 datagrams/s a block period is 50 ms, and a virtual disk can hold
// a write up for longer. 32 MiB keeps over a second of 16 channels.
inline constexpr int kReceiveBufferFloorBytes = 32 << 20;

// The request for blocks of `block_bytes`: the floor, or four blocks when
// they are larger.
constexpr int receive_buffer_request(int32_t block_bytes) {
  return std::max(kReceiveBufferFloorBytes, 4 * block_bytes);
}

}  // namespace kivo
