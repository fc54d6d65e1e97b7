#include "simulator.h"

#include <cerrno>

#include "stop_request.h"

namespace kivo::sim {
namespace {

using std::chrono::duration;

constexpr auto kProgressInterval = std::chrono::seconds(1);

double seconds_between(SteadyClock::time_point from, SteadyClock::time_point to) {
  return duration<double>(to - from).count();
}

}  // namespace

Simulator::Simulator(const Options& options, kivo::net::UdpSocket& socket, const kivo::net::Endpoint& to,
                     std::FILE* progress)
    : options_(options),
      socket_(socket),
      to_(to),
      progress_(progress),
      source_(kivo::make_geometry(options.channels), options),
      buffer_(source_.capacity()) {}

RunOutcome Simulator::run() {
  start_ = last_progress_ = SteadyClock::now();
  const SteadyClock::time_point end =
      options_.duration > 0
          ? start_ + std::chrono::duration_cast<SteadyClock::duration>(duration<double>(options_.duration))
          : SteadyClock::time_point::max();
  Pacer pacer(options_.rate, start_);
  bool by_count = false;
  while (!stop_requested()) {
    if (count_reached()) {
      by_count = true;
      break;
    }
    if (pacer.paced()) {
      if (pacer.due() >= end) {
        wait_until(end);
        break;
      }
      if (!wait_until(pacer.due())) break;
    } else if (SteadyClock::now() >= end) {
      break;
    }
    send_next();
    const auto now = SteadyClock::now();
    pacer.taken(1, now);
    report_progress(now);
  }
  // A run of N datagrams at rate R lasts N / R: its last slot ends when the next would begin.
  if (by_count && pacer.paced()) wait_until(pacer.due() < end ? pacer.due() : end);

  RunOutcome outcome;
  outcome.tally = tally_;
  outcome.tally.skipped = source_.skipped();
  outcome.seconds = seconds_between(start_, SteadyClock::now());
  outcome.slips = pacer.slips();
  outcome.slipped_seconds = pacer.slipped_seconds();
  return outcome;
}

void Simulator::send_next() {
  const Produced datagram = source_.next(buffer_.data());
  tally_.last_seq = datagram.seq;
  const long long n = socket_.send_to(buffer_.data(), datagram.size, to_);
  if (n < 0) {
    ++tally_.failed;
    tally_.last_error = errno;
    return;
  }
  ++tally_.sent;
  tally_.bytes += static_cast<uint64_t>(n);
}

bool Simulator::count_reached() const {
  return options_.count > 0 && source_.produced() >= options_.count;
}

void Simulator::report_progress(SteadyClock::time_point now) {
  if (progress_ == nullptr || now - last_progress_ < kProgressInterval) return;
  Tally tally = tally_;
  tally.skipped = source_.skipped();
  const double recent = static_cast<double>(tally_.sent - sent_at_last_progress_) / seconds_between(last_progress_, now);
  const std::string line = progress_line(tally, seconds_between(start_, now), recent);
  std::fputs(line.c_str(), progress_);
  std::fflush(progress_);
  last_progress_ = now;
  sent_at_last_progress_ = tally_.sent;
}

}  // namespace kivo::sim
