#include "kivo/udp_socket.h"
#include "kivo/socket_messages.h"

namespace kivo {

SocketFailure describe_socket_failure(SocketStep step, int code) {
  switch (step) {
    case SocketStep::create:
      return {"", "Could not create socket"};
    case SocketStep::reuse_address:
      return {"", "setsockopt"};
    case SocketStep::bind:
      break;
  }
  return {"", "bind - " + kivo::net::socket_error_text(code)};
}

}  // namespace kivo
