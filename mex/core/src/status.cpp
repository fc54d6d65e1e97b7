#include "velto/status.h"

#include <initializer_list>

namespace velto {

void StatusCounters::reset() {
  for (auto* counter : {&datagrams, &bytes, &failed_receives, &sequence_gaps, &blocks_saved,
                        &writer_stalls, &write_errors, &filtered_write_errors, &kernel_drops,
                        &wrong_size_datagrams}) {
    counter->store(0, std::memory_order_relaxed);
  }
  last_write_error.store(0, std::memory_order_relaxed);
  last_filtered_write_error.store(0, std::memory_order_relaxed);
}

}  // namespace velto
