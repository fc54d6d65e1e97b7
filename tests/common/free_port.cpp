#include "free_port.h"

#include "kivo/udp_socket.h"

namespace kivo_test {

uint16_t free_udp_port() {
  // The system hands out a free port to a socket bound to port 0.
  kivo::net::SocketLibrary library;
  kivo::net::UdpSocket probe;
  if (probe.create() != 0 || probe.bind_any(0) != 0) return 0;
  return probe.local_port();
}

}  // namespace kivo_test
