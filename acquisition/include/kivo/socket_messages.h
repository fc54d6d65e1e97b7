// How 'open' words a failed socket set-up step. The wording differs between
// platforms; the realisations live in src/posix and src/win.
#pragma once

#include <string>

namespace kivo {

enum class SocketStep { create, address_option, bind };

struct SocketFailure {
  std::string printed;  // printed (Severity::error) before the error is raised; may be empty
  std::string raised;   // the message of the set-up error of 'open'
};

SocketFailure describe_socket_failure(SocketStep step, int code);

}  // namespace kivo
