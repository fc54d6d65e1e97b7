// What the acquisition counts while it runs; read without locks by 'status'.
#pragma once

#include <atomic>
#include <cstdint>

namespace velto {

// Written by the worker threads, read by any thread (relaxed: each counter is
// exact on its own, and the set is a snapshot only once the threads are joined).
struct StatusCounters {
  std::atomic<uint64_t> datagrams{0};        // receives that took a slot
  std::atomic<uint64_t> bytes{0};            // bytes those receives returned
  std::atomic<uint64_t> failed_receives{0};  // attempts that took no slot
  std::atomic<uint64_t> sequence_gaps{0};    // datagrams not numbered previous + 1
  std::atomic<uint64_t> blocks_saved{0};     // blocks written whole to the raw file
  std::atomic<uint64_t> writer_stalls{0};    // times the receiver waited for the writer
  std::atomic<uint64_t> write_errors{0};     // raw block writes that failed
  std::atomic<uint64_t> filtered_write_errors{0};
  std::atomic<uint64_t> kernel_drops{0};     // datagrams the kernel dropped on the socket
  std::atomic<uint64_t> wrong_size_datagrams{0};  // datagrams not of the channel count's size
  std::atomic<int> last_write_error{0};
  std::atomic<int> last_filtered_write_error{0};

  void reset();
};

struct AcquisitionStatus {
  bool running = false;
  int port = 0;
  uint64_t nchans = 0;
  uint64_t nsamp = 0;
  uint64_t datagrams = 0;
  uint64_t bytes = 0;
  uint64_t failed_receives = 0;
  uint64_t sequence_gaps = 0;
  uint64_t blocks_saved = 0;
  uint64_t writer_stalls = 0;
  uint64_t write_errors = 0;  // raw and filtered
  uint64_t kernel_drops = 0;
  int64_t socket_buffer_bytes = 0;
  uint64_t wrong_size_datagrams = 0;
};

}  // namespace velto
