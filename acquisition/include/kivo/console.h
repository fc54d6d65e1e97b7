// How the acquisition speaks to its user, free of any front end: a printed
// message has a severity and an error a kind, and each gateway decides from
// these how to show it (a prefix, a warning category, stdout). No message
// carries a gateway's prefix or a line end.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace kivo {

enum class Severity {
  error,    // a step failed and the call goes on without it (a file not created)
  warning,  // trouble that the end of an acquisition found (failed writes, drops)
  note,     // what the user is told when all goes well (the start line)
};

// Shows one message to the user; the host thread calls it.
using Console = std::function<void(Severity severity, const std::string& message)>;

// Why 'open' failed.
enum class FailureKind {
  refused,  // the request: a value out of range, names taken, already open
  set_up,   // a step of the system's set-up: the socket, a thread
};

// The error of a failed 'open'.
class AcquisitionError : public std::runtime_error {
 public:
  AcquisitionError(FailureKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  FailureKind kind() const { return kind_; }

 private:
  FailureKind kind_;
};

}  // namespace kivo
