// kivosim: sends the datagram stream of a simulated Kivo device over UDP, for
// testing receivers and lab set-ups without the device.
#include <cstdio>
#include <cstring>
#include <string>

#include "kivo/udp_socket.h"
#include "kivo/version.h"
#include "options.h"
#include "report.h"
#include "simulator.h"
#include "stop_request.h"

namespace {

constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 1;
constexpr int kStatusUsage = 2;

int fail_setup(const char* what, int code) {
  std::fprintf(stderr, "kivosim: %s: %s\n", what, kivo::net::socket_error_text(code).c_str());
  return kStatusFailed;
}

int fail_file(const char* what, const kivo::sim::Options& options, int code) {
  std::fprintf(stderr, "kivosim: %s %s: %s\n", what, options.send_log.c_str(), std::strerror(code));
  return kStatusFailed;
}

int run(const kivo::sim::Options& options) {
  kivo::net::Endpoint to;
  kivo::net::parse_ipv4(options.host, options.port, to);  // checked while parsing
  kivo::net::SocketLibrary library;
  kivo::net::UdpSocket socket;
  if (const int code = socket.create()) return fail_setup("cannot create a UDP socket", code);

  kivo::sim::SendLog log;
  if (!options.send_log.empty()) {
    if (const int code = log.open(options.send_log))
      return fail_file("cannot write the send log", options, code);
  }

  kivo::sim::install_stop_handlers();
  kivo::sim::Simulator simulator(options, socket, to, options.quiet ? nullptr : stderr, &log);
  const kivo::sim::RunOutcome outcome = simulator.run();

  std::fputs(kivo::sim::summary_line(outcome.tally, outcome.seconds).c_str(), stdout);
  std::fflush(stdout);
  std::fputs(kivo::sim::trouble_lines(outcome.tally, outcome.slips, outcome.slipped_seconds).c_str(), stderr);
  if (const int code = log.close()) return fail_file("the send log is incomplete", options, code);
  return outcome.tally.failed > 0 ? kStatusFailed : kStatusOk;
}

}  // namespace

int main(int argc, char** argv) {
  const kivo::sim::ParseResult parsed = kivo::sim::parse_options(argc, argv);
  switch (parsed.outcome) {
    case kivo::sim::ParseOutcome::help: std::fputs(kivo::sim::usage_text().c_str(), stdout); return kStatusOk;
    case kivo::sim::ParseOutcome::version: std::printf("kivosim %s\n", KIVO_VERSION); return kStatusOk;
    case kivo::sim::ParseOutcome::error:
      std::fprintf(stderr, "kivosim: %s\n%s", parsed.error.c_str(), kivo::sim::usage_text().c_str());
      return kStatusUsage;
    case kivo::sim::ParseOutcome::run: break;
  }
  return run(parsed.options);
}
