// The sending loop: takes datagrams from the source, sends each in its time
// slot and keeps the tally, until the count, the duration or a stop request
// ends the run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "datagram_source.h"
#include "kivo/udp_socket.h"
#include "options.h"
#include "pacer.h"
#include "report.h"
#include "send_log.h"
#include "send_plan.h"

namespace kivo::sim {

struct RunOutcome {
  Tally tally;
  double seconds = 0;  // from the start of the run to its end
  uint64_t slips = 0;
  double slipped_seconds = 0;
};

// Main thread only.
class Simulator {
 public:
  // `progress` receives a line about once a second; nullptr for none.
  // `log`, when given and open, gets a line for every datagram sent.
  Simulator(const Options& options, kivo::net::UdpSocket& socket, const kivo::net::Endpoint& to,
            std::FILE* progress, SendLog* log = nullptr);
  RunOutcome run();

 private:
  // Sends the next datagram, which was due at `due` on the schedule.
  void send_next(SteadyClock::time_point due);
  int64_t unix_ns_of(SteadyClock::time_point t) const;
  bool count_reached() const;
  void report_progress(SteadyClock::time_point now);

  const Options& options_;
  kivo::net::UdpSocket& socket_;
  kivo::net::Endpoint to_;
  std::FILE* progress_;
  SendLog* log_;
  DatagramSource source_;
  std::vector<uint8_t> buffer_;
  Tally tally_;
  SteadyClock::time_point start_;
  int64_t start_unix_ns_ = 0;  // the wall clock read at start_
  SteadyClock::time_point last_progress_;
  uint64_t sent_at_last_progress_ = 0;
};

}  // namespace kivo::sim
