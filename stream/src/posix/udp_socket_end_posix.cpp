// POSIX realisation of what the UDP socket tells at the end of an
// acquisition: the system's own drop count (where it keeps one, the socket's
// facilities read it), and the receive buffer granted.
#include "kivo/udp_socket.h"
#include "socket_facilities.h"

namespace kivo::net {

bool UdpSocket::read_drop_total(uint64_t& drops) const {
  return handle_ >= 0 && facilities::read_drop_total(static_cast<int>(handle_), drops);
}

int receive_buffer_as_requested(int reported) {
#ifdef __linux__
  return reported / 2;
#else
  return reported;
#endif
}

}  // namespace kivo::net
