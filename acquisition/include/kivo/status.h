// What the acquisition counts while it runs; read without locks by 'status'.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kivo/recording_totals.h"

namespace kivo {

// Written by the worker threads, read by any thread (relaxed: each counter is
// exact on its own, and the set is a snapshot only once the threads are joined).
struct StatusCounters {
  std::atomic<uint64_t> datagrams{0};        // receives that took a slot
  std::atomic<uint64_t> bytes{0};            // bytes those receives returned
  std::atomic<uint64_t> failed_receives{0};  // attempts that took no slot
  std::atomic<uint64_t> sequence_gaps{0};    // datagrams not numbered previous + 1
  std::atomic<uint64_t> blocks_saved{0};     // blocks written whole to the raw file
  std::atomic<uint64_t> writer_stalls{0};    // times the receiver waited for the writer
  std::atomic<uint64_t> kernel_drops{0};     // datagrams the kernel dropped on the socket
  std::atomic<uint64_t> wrong_size_datagrams{0};  // datagrams not of the channel count's size
  std::atomic<uint64_t> datagrams_not_saved{0};  // received after the last block handed to the saver

  void reset();
  // The counts that every file of the acquisition shares, under the names of
  // the recording totals (not the per-file blocks_written, slots_written and
  // write_errors). Any thread; a snapshot once the threads are joined.
  kivo::RecordingTotals shared_totals() const;
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
  uint64_t write_errors = 0;  // raw and filtered (kept by the recording files)
  uint64_t kernel_drops = 0;
  uint64_t wrong_size_datagrams = 0;
  uint64_t datagrams_not_saved = 0;
  int64_t socket_buffer_bytes = 0;
};

// One field of velto('status') after `running`, and how many there are.
inline constexpr size_t kStatusFields = 14;
struct StatusField {
  const char* name;
  int64_t value;
};
// The fields of velto('status') after `running`, in the order the gateways
// show them: the one list that the MEX and the Python gateway both use.
std::array<StatusField, kStatusFields> status_fields(const AcquisitionStatus& status);

}  // namespace kivo
