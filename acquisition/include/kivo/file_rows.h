// Where the device's samples lie in the raw file, as another thread may use
// it: the file's rows are its slots in the order they were filled, nsamp
// rows each, and a run of datagrams that follow each other without a gap
// fills rows that follow each other too. The receiver publishes the start of
// the latest such run; the row of a sample in it, or just after it, follows.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace kivo {

struct FileRows {
  bool known = false;        // a datagram took a slot
  int32_t nsamp = 1;         // samples per channel per datagram
  int64_t first_sample = 0;  // the device's sample in row 0
  int64_t run_sample = 0;    // the first sample of the latest run
  uint64_t run_row = 0;      // its row

  // The row that holds device sample n, or will when the run goes on: n
  // before the run (in the gap that began it) takes the run's first row.
  // Nothing before the first datagram.
  std::optional<uint64_t> row_of(int64_t n) const;
};

class SharedFileRows {
 public:
  // host thread, while no receiver runs: no datagram yet.
  void reset(int32_t nsamp);
  // Receiver thread (the host thread at 'close'): a datagram whose first
  // sample is `first_sample` took slot `slot` of the file. Writes only when
  // a run begins. Never waits.
  void note(uint64_t slot, int64_t first_sample);
  // Any thread: the latest published runs, never torn.
  FileRows read() const;

 private:
  void write(const FileRows& rows);

  // Receiver thread writes (odd while it writes), any thread reads.
  std::atomic<uint64_t> version_{0};
  std::atomic<bool> known_{false};
  std::atomic<int32_t> nsamp_{1};
  std::atomic<int64_t> first_sample_{0};
  std::atomic<int64_t> run_sample_{0};
  std::atomic<uint64_t> run_row_{0};
  // Receiver thread only (the host thread while none runs).
  FileRows published_;
  uint64_t last_slot_ = 0;
  int64_t last_first_sample_ = 0;
};

}  // namespace kivo
