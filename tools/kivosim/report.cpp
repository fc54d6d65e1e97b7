#include "report.h"

#include <cinttypes>
#include <cstdio>

#include "kivo/udp_socket.h"

namespace kivo::sim {
namespace {

double per_second(uint64_t n, double seconds) { return seconds > 0 ? static_cast<double>(n) / seconds : 0.0; }

}  // namespace

std::string summary_line(const Tally& tally, double seconds) {
  char line[256];
  std::snprintf(line, sizeof line,
                "kivosim: sent %" PRIu64 " datagrams (%" PRIu64
                " bytes) in %.3f s: %.1f datagrams/s; "
                "skipped %" PRIu64 " sequence numbers\n",
                tally.sent, tally.bytes, seconds, per_second(tally.sent, seconds), tally.skipped);
  return line;
}

std::string progress_line(const Tally& tally, double seconds, double recent_rate) {
  char line[256];
  std::snprintf(line, sizeof line,
                "kivosim: %.1f s: %" PRIu64
                " datagrams, %.1f datagrams/s, last sequence number %u, "
                "%" PRIu64 " skipped, %" PRIu64 " failed\n",
                seconds, tally.sent, recent_rate, static_cast<unsigned>(tally.last_seq), tally.skipped,
                tally.failed);
  return line;
}

std::string trouble_lines(const Tally& tally, uint64_t slips, double slipped_seconds) {
  std::string text;
  char line[512];
  if (tally.failed > 0) {
    std::snprintf(line, sizeof line, "kivosim: %" PRIu64 " datagrams could not be sent (last error: %s)\n",
                  tally.failed, kivo::net::socket_error_text(tally.last_error).c_str());
    text += line;
  }
  if (slips > 0) {
    std::snprintf(line, sizeof line,
                  "kivosim: fell behind schedule %" PRIu64
                  " times and dropped %.3f s of it; "
                  "the rate is below the one asked for\n",
                  slips, slipped_seconds);
    text += line;
  }
  return text;
}

}  // namespace kivo::sim
