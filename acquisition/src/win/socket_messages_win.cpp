// The Windows wording of a failed socket set-up step: the Winsock error code
// is printed, and the error raised names the step.
#include <cstdio>

#include "kivo/socket_messages.h"

namespace kivo {
namespace {

std::string with_code(const char* format, int code) {
  char line[96];
  std::snprintf(line, sizeof line, format, static_cast<unsigned>(code));
  return line;
}

}  // namespace

SocketFailure describe_socket_failure(SocketStep step, int code) {
  switch (step) {
    case SocketStep::create:
      return {with_code("socket() failed with error %u\n", code), "Could not create socket"};
    case SocketStep::reuse_address:
      return {"", "setsockopt"};
    case SocketStep::bind:
      break;
  }
  return {with_code("bind() failed with error %u\n", code), "Cannot bind port"};
}

}  // namespace kivo
