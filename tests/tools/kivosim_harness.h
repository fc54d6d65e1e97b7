// Runs the built kivosim as a child process and receives what it sends on a
// loopback socket of the test's own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

struct Finished {
  int status = -1;  // exit status; -1 when the program did not exit normally
  std::string out;  // what it printed on stdout
  std::string err;  // and on stderr
};

// The kivosim program, started with the given arguments.
class KivosimProcess {
 public:
  explicit KivosimProcess(const std::vector<std::string>& args);
  ~KivosimProcess();  // kills the program if it still runs
  KivosimProcess(const KivosimProcess&) = delete;
  KivosimProcess& operator=(const KivosimProcess&) = delete;

  bool running();
  void send_signal(int signal_number);
  Finished wait();

 private:
  pid_t pid_ = -1;
  std::string dir_;
  int status_ = -1;
};

// Runs kivosim to completion without receiving.
Finished run_kivosim(const std::vector<std::string>& args);

// Runs kivosim towards `receiver` and collects what arrives: stops once
// `expected` datagrams are in, or when the program has ended and the socket
// stays quiet for a while.
struct Collected {
  Finished finished;
  std::vector<std::vector<uint8_t>> datagrams;
};
Collected run_and_collect(LoopbackReceiver& receiver, std::vector<std::string> args, size_t expected);

// The numbers of the summary line "kivosim: sent N datagrams (B bytes) in S s:
// R datagrams/s; skipped K sequence numbers".
struct Summary {
  uint64_t sent = 0;
  uint64_t bytes = 0;
  double seconds = 0;
  double rate = 0;
  uint64_t skipped = 0;
};
std::optional<Summary> parse_summary(const std::string& out);

}  // namespace kivosim_test
