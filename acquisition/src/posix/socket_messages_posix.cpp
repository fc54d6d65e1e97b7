#include "kivo/socket_messages.h"
#include "kivo/udp_socket.h"
#include "messages.h"

namespace kivo {

SocketFailure describe_socket_failure(SocketStep step, int code) {
  switch (step) {
    case SocketStep::create: return {"", messages::kSocketNotCreated};
    case SocketStep::address_option: return {"", messages::kAddressReuseRefused};
    case SocketStep::bind: break;
  }
  return {"", messages::bind_failed(kivo::net::socket_error_text(code))};
}

}  // namespace kivo
