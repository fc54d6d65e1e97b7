#include "console_printer.h"

#include <system_error>

#include "kivo/thread_signals.h"

namespace kivo::recorder {
namespace {

// How often the printer looks for news it was not woken for (a wake-up from
// the receive loop may come while the printer is busy and be missed).
constexpr std::chrono::milliseconds kLookEvery{20};
// How often finish() repeats give_up() while the printer still waits for the console.
constexpr std::chrono::milliseconds kGiveUpEvery{100};
// At most one line about breaks in the sequence this often: a stream that
// breaks at every datagram must not bury the progress lines.
constexpr std::chrono::seconds kGapLineEvery{1};

std::string progress_line(uint16_t seq, uint64_t skipped) {
  std::string line = "seq # = " + std::to_string(seq);
  if (skipped > 0) {
    line += " (" + std::to_string(skipped) + " progress lines skipped: the console did not keep up)";
  }
  return line + "\n";
}

}  // namespace

ConsolePrinter::~ConsolePrinter() { finish(std::chrono::milliseconds{0}); }

int ConsolePrinter::start() {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& e) {
    return e.code().value();
  }
  return 0;
}

void ConsolePrinter::say(ConsoleStream stream, std::string text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.emplace_back(stream, std::move(text));
  }
  wake_.notify_one();
}

void ConsolePrinter::progress(uint16_t seq) {
  const uint64_t n = ++progress_count_;
  // The exchange's acquire keeps the entry's store after it: a reader that
  // loads the entry (release to acquire) then sees started_ at n or later.
  started_.exchange(n, std::memory_order_acq_rel);
  history_[n % kHistory].store(seq, std::memory_order_release);
  published_.store(n, std::memory_order_release);
  wake_.notify_one();
}

void ConsolePrinter::block_dropped(uint64_t number) {
  last_dropped_.store(number, std::memory_order_relaxed);
  dropped_.store(++dropped_count_, std::memory_order_release);
  wake_.notify_one();
}

void ConsolePrinter::sequence_break(uint16_t seq, uint16_t skipped) {
  breaks_.note(seq, skipped);
  // A sequence lock without fences, as SharedClockLines has it.
  const uint64_t version = gap_version_.fetch_add(1, std::memory_order_acq_rel);
  gap_breaks_.store(breaks_.breaks, std::memory_order_release);
  gap_missing_.store(breaks_.missing, std::memory_order_release);
  gap_last_.store(breaks_.pack_last(), std::memory_order_release);
  gap_version_.store(version + 2, std::memory_order_release);
  wake_.notify_one();
}

void ConsolePrinter::finish(std::chrono::milliseconds patience) {
  if (!thread_.joinable()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  closing_ = true;
  wake_.notify_one();
  if (!drained_.wait_for(lock, patience, [&] { return done_; })) {
    // The console takes nothing: what is left is dropped, never waited for.
    while (!done_) {
      output_.give_up();
      drained_.wait_for(lock, kGiveUpEvery, [&] { return done_; });
    }
  }
  lock.unlock();
  thread_.join();
}

void ConsolePrinter::run() {
  block_signals_in_this_thread();
  output_.attach_writer_thread();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait_for(lock, kLookEvery, [&] { return !queue_.empty() || closing_ || has_news(); });
    auto messages = std::move(queue_);
    queue_.clear();
    const bool closing = closing_;
    lock.unlock();
    for (const auto& [stream, text] : messages) emit(stream, text);
    print_dropped_blocks();
    print_sequence_breaks(closing);
    print_progress();
    lock.lock();
    if (closing && queue_.empty() && !has_news()) break;
  }
  done_ = true;
  drained_.notify_all();
}

bool ConsolePrinter::has_news() const {
  return published_.load(std::memory_order_acquire) != shown_progress_ ||
         dropped_.load(std::memory_order_acquire) != shown_dropped_ || gap_line_due();
}

bool ConsolePrinter::gap_line_due() const {
  return gap_version_.load(std::memory_order_acquire) != 0 &&
         gap_breaks_.load(std::memory_order_relaxed) != shown_breaks_.breaks &&
         std::chrono::steady_clock::now() >= next_gap_line_;
}

// The breaks since the last line, when a line is due or `now` (at the end).
void ConsolePrinter::print_sequence_breaks(bool now) {
  if (!now && !gap_line_due()) return;
  SequenceBreaks latest;
  for (;;) {
    const uint64_t version = gap_version_.load(std::memory_order_acquire);
    if (version % 2 != 0) continue;  // the receiver is writing: a few stores
    latest.breaks = gap_breaks_.load(std::memory_order_acquire);
    latest.missing = gap_missing_.load(std::memory_order_acquire);
    latest.unpack_last(gap_last_.load(std::memory_order_acquire));
    if (gap_version_.load(std::memory_order_relaxed) == version) break;
  }
  if (latest.breaks == shown_breaks_.breaks) return;
  emit(ConsoleStream::err, sequence_break_line(shown_breaks_, latest));
  shown_breaks_ = latest;
  next_gap_line_ = std::chrono::steady_clock::now() + kGapLineEvery;
}

void ConsolePrinter::print_progress() {
  for (;;) {
    const uint64_t latest = published_.load(std::memory_order_acquire);
    if (latest == shown_progress_) return;
    uint64_t next = shown_progress_ + 1;
    if (latest - next >= kHistory / 2) next = latest;  // too far behind: the latest only
    const uint16_t seq = history_[next % kHistory].load(std::memory_order_acquire);
    // Overwritten while it was read: the receiver has moved on; look again.
    if (started_.load(std::memory_order_relaxed) - next >= kHistory) continue;
    emit(ConsoleStream::out, progress_line(seq, next - shown_progress_ - 1));
    shown_progress_ = next;
  }
}

void ConsolePrinter::print_dropped_blocks() {
  const uint64_t dropped = dropped_.load(std::memory_order_acquire);
  if (dropped == shown_dropped_) return;
  const uint64_t latest = last_dropped_.load(std::memory_order_relaxed);
  const uint64_t news = dropped - shown_dropped_;
  shown_dropped_ = dropped;
  if (news == 1) {
    emit(ConsoleStream::err, "block " + std::to_string(latest) + " not saved: the disk did not keep up\n");
  } else {
    emit(ConsoleStream::err, std::to_string(news) + " blocks not saved, up to block " +
                                 std::to_string(latest) + ": the disk did not keep up\n");
  }
}

void ConsolePrinter::emit(ConsoleStream stream, const std::string& text) {
  bool& broken = broken_[stream == ConsoleStream::out ? 0 : 1];
  if (!broken && !output_.write(stream, text)) broken = true;
}

}  // namespace kivo::recorder
