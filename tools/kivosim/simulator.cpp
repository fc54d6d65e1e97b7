#include "simulator.h"

#include <cerrno>

#include "kivo/clock.h"
#include "stop_request.h"

namespace kivo::sim {
namespace {

using std::chrono::duration;
using std::chrono::duration_cast;
using std::chrono::nanoseconds;

constexpr auto kProgressInterval = std::chrono::seconds(1);

double seconds_between(SteadyClock::time_point from, SteadyClock::time_point to) {
  return duration<double>(to - from).count();
}

}  // namespace

Simulator::Simulator(const Options& options, kivo::net::UdpSocket& socket, const kivo::net::Endpoint& to,
                     std::FILE* progress, SendLog* log)
    : options_(options),
      socket_(socket),
      to_(to),
      progress_(progress),
      log_(log != nullptr && log->active() ? log : nullptr),
      source_(kivo::make_geometry(options.channels), options),
      buffer_(source_.capacity()) {}

RunOutcome Simulator::run() {
  start_ = last_progress_ = SteadyClock::now();
  start_unix_ns_ = kivo::unix_time_nanoseconds();
  const SteadyClock::time_point end =
      options_.duration > 0
          ? start_ + std::chrono::duration_cast<SteadyClock::duration>(duration<double>(options_.duration))
          : SteadyClock::time_point::max();
  Pacer pacer(options_.rate, start_);
  SendPlan plan(options_);
  bool by_count = false;
  while (!stop_requested()) {
    if (count_reached()) {
      by_count = true;
      break;
    }
    SteadyClock::time_point due;
    SteadyClock::time_point send_at;
    if (pacer.paced()) {
      due = pacer.due();
      if (due >= end) {
        wait_until(end);
        break;
      }
      send_at = due;
      if (plan.delays()) {
        const nanoseconds planned = plan.send_at(duration_cast<nanoseconds>(due - start_));
        send_at = start_ + duration_cast<SteadyClock::duration>(planned);
      }
      if (!wait_until(send_at)) break;
    } else {
      due = send_at = SteadyClock::now();
      if (due >= end) break;
    }
    send_next(due);
    const auto now = SteadyClock::now();
    // With stalls or jitter the device's schedule goes on whatever the
    // sending does (a backlog takes its time to go out): it never restarts.
    pacer.taken(1, plan.delays() ? due : now);
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

void Simulator::send_next(SteadyClock::time_point due) {
  const Produced datagram = source_.next(buffer_.data());
  tally_.last_seq = datagram.seq;
  const int64_t sent_ns = log_ != nullptr ? kivo::unix_time_nanoseconds() : 0;
  const long long n = socket_.send_to(buffer_.data(), datagram.size, to_);
  if (n < 0) {
    ++tally_.failed;
    tally_.last_error = errno;
    return;
  }
  ++tally_.sent;
  tally_.bytes += static_cast<uint64_t>(n);
  if (log_ != nullptr) log_->record(datagram.seq, unix_ns_of(due), sent_ns);
}

int64_t Simulator::unix_ns_of(SteadyClock::time_point t) const {
  return start_unix_ns_ + duration_cast<nanoseconds>(t - start_).count();
}

bool Simulator::count_reached() const { return options_.count > 0 && source_.produced() >= options_.count; }

void Simulator::report_progress(SteadyClock::time_point now) {
  if (progress_ == nullptr || now - last_progress_ < kProgressInterval) return;
  Tally tally = tally_;
  tally.skipped = source_.skipped();
  const double recent =
      static_cast<double>(tally_.sent - sent_at_last_progress_) / seconds_between(last_progress_, now);
  const std::string line = progress_line(tally, seconds_between(start_, now), recent);
  std::fputs(line.c_str(), progress_);
  std::fflush(progress_);
  last_progress_ = now;
  sent_at_last_progress_ = tally_.sent;
}

}  // namespace kivo::sim
