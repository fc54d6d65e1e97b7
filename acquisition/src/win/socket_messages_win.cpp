// The Windows wording of a failed socket set-up step: the Winsock error code
// is printed, and the error raised names the step.
#include "kivo/socket_messages.h"
#include "messages.h"

namespace kivo {

SocketFailure describe_socket_failure(SocketStep step, int code) {
  switch (step) {
    case SocketStep::create: return {messages::call_failed("socket", code), messages::kSocketNotCreated};
    case SocketStep::address_option: return {"", messages::kAddressReuseRefused};
    case SocketStep::bind: break;
  }
  return {messages::call_failed("bind", code), messages::kPortNotBound};
}

}  // namespace kivo
