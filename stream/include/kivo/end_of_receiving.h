// The end of receiving, as every program that records does it: the
// datagrams still queued on the socket once its receiving thread has stopped
// are taken and counted (received, not saved), and the system's own drop
// count, which also holds the drops after the last datagram received, is
// read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "kivo/udp_socket.h"

namespace kivo {

// The most datagrams taken at the end: far more than a socket's receive
// buffer holds, and a bound on a sender that never pauses.
inline constexpr uint64_t kDrainLimit = uint64_t{1} << 22;

// Owner of `socket`, once its receiving thread has stopped: takes the
// datagrams still queued (of up to `datagram_bytes`), never waiting, at most
// kDrainLimit, and calls `note` with each. Returns how many it took.
uint64_t drain_queued(net::UdpSocket& socket, size_t datagram_bytes,
                      const std::function<void(const net::Received&)>& note);

// The datagrams the system dropped on `socket`, at the end: its own count
// where it keeps one and that is larger than `counted` (what the last
// datagram brought); `counted` otherwise.
uint64_t kernel_drops_at_end(const net::UdpSocket& socket, uint64_t counted);

}  // namespace kivo
