#include "kivo/end_of_receiving.h"

#include <vector>

namespace kivo {

uint64_t drain_queued(net::UdpSocket& socket, size_t datagram_bytes,
                      const std::function<void(const net::Received&)>& note) {
  std::vector<uint8_t> scratch(datagram_bytes);
  uint64_t taken = 0;
  for (; taken < kDrainLimit; ++taken) {
    const net::Received received = socket.receive_queued(scratch.data(), scratch.size());
    if (received.length < 0) break;
    note(received);
  }
  return taken;
}

uint64_t kernel_drops_at_end(const net::UdpSocket& socket, uint64_t counted) {
  uint64_t drops = 0;
  return socket.read_drop_total(drops) && drops > counted ? drops : counted;
}

}  // namespace kivo
