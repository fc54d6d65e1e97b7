// Runs the built kivosim towards a loopback socket of the test's own and
// collects what it sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kivosim_run.h"

namespace kivosim_test {

// A UDP socket bound to 127.0.0.1 on an ephemeral port, with a receive buffer
// large enough that nothing sent at a moderate rate is lost.
class LoopbackReceiver {
 public:
  LoopbackReceiver();
  ~LoopbackReceiver();
  LoopbackReceiver(const LoopbackReceiver&) = delete;
  LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

  uint16_t port() const { return port_; }
  // One datagram, or nothing when none arrives within timeout_ms.
  std::optional<std::vector<uint8_t>> receive(int timeout_ms);

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

using kivo_test::Finished;
using kivo_test::run_kivosim;
using Summary = kivo_test::KivosimSummary;
inline std::optional<Summary> parse_summary(const std::string& out) {
  return kivo_test::parse_kivosim_summary(out);
}

// Runs kivosim towards `receiver` and collects what arrives: stops once
// `expected` datagrams are in, or when the program has ended and the socket
// stays quiet for a while.
struct Collected {
  Finished finished;
  std::vector<std::vector<uint8_t>> datagrams;
};
Collected run_and_collect(LoopbackReceiver& receiver, std::vector<std::string> args, size_t expected);

}  // namespace kivosim_test
