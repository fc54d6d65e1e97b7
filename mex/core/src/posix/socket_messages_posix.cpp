#include "kivo/udp_socket.h"
#include "velto/socket_messages.h"

namespace velto {

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

}  // namespace velto
