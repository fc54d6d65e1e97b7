// The printer thread: everything kivorec says while it records goes through
// it, so that no other thread ever waits for the console. The receive loop
// publishes its progress (the sequence numbers of datagrams 0, 100, ..., 900
// of each block), its dropped blocks and the breaks in the sequence numbers
// into atomics without waiting; the other threads queue whole messages. When
// the console cannot keep up, the printer skips progress lines and the next
// line that gets through says how many were skipped; messages are never
// skipped while the console takes them. Breaks in the sequence are said at
// most once a second, those in between summed up in the next line.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "console_output.h"
#include "sequence_breaks.h"

namespace kivo::recorder {

class ConsolePrinter {
 public:
  explicit ConsolePrinter(ConsoleOutput& output) : output_(output) {}
  ~ConsolePrinter();  // finish() with no patience, if it has not run
  ConsolePrinter(const ConsolePrinter&) = delete;
  ConsolePrinter& operator=(const ConsolePrinter&) = delete;

  // Main thread: starts the printer thread. Returns 0 or the error code.
  int start();
  // Any thread: one message for `stream`, printed after those queued before it.
  void say(ConsoleStream stream, std::string text);
  // Receiving thread only, never waits: the progress line for sequence number `seq`.
  void progress(uint16_t seq);
  // Receiving thread only, never waits: block `number` could not be kept.
  void block_dropped(uint64_t number);
  // Receiving thread only, never waits: datagram `seq` broke the sequence,
  // `skipped` numbers after the one before it (sequence_breaks.h).
  void sequence_break(uint16_t seq, uint16_t skipped);
  // Main thread: prints what is still queued, giving the console up to
  // `patience` to take it, then gives the console up and joins the thread.
  void finish(std::chrono::milliseconds patience);

 private:
  // Progress lines remembered, so that a printer woken late still prints
  // each; further behind, it skips to the latest.
  static constexpr uint64_t kHistory = 256;

  void run();
  bool has_news() const;
  void print_progress();
  void print_dropped_blocks();
  bool gap_line_due() const;
  void print_sequence_breaks(bool now);
  void emit(ConsoleStream stream, const std::string& text);

  ConsoleOutput& output_;
  std::thread thread_;

  // Receiver writes, printer reads: progress line n (from 1) is history_[n %
  // kHistory], valid while started_ - n < kHistory; published_ is the last
  // whole one.
  std::array<std::atomic<uint16_t>, kHistory> history_{};
  std::atomic<uint64_t> started_{0};
  std::atomic<uint64_t> published_{0};
  uint64_t progress_count_ = 0;  // receiver only
  // Receiver writes, printer reads: blocks dropped, and the latest one's number.
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> last_dropped_{0};
  uint64_t dropped_count_ = 0;  // receiver only
  // Receiver writes, printer reads, as a sequence lock: gap_version_ is odd
  // while the receiver writes the three below. gap_last_ holds the latest
  // break's number and its skipped count (SequenceBreaks::pack).
  std::atomic<uint64_t> gap_version_{0};
  std::atomic<uint64_t> gap_breaks_{0};
  std::atomic<uint64_t> gap_missing_{0};
  std::atomic<uint64_t> gap_last_{0};
  SequenceBreaks breaks_;  // receiver only

  // Printer thread only.
  uint64_t shown_progress_ = 0;
  uint64_t shown_dropped_ = 0;
  SequenceBreaks shown_breaks_;
  std::chrono::steady_clock::time_point next_gap_line_{};
  bool broken_[2] = {false, false};

  std::mutex mutex_;
  std::condition_variable wake_;     // news for the printer
  std::condition_variable drained_;  // the printer has printed everything after closing
  std::deque<std::pair<ConsoleStream, std::string>> queue_;  // guarded by mutex_
  bool closing_ = false;                                     // guarded by mutex_
  bool done_ = false;                                        // guarded by mutex_
};

}  // namespace kivo::recorder
