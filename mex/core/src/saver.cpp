// The save thread: writes every block handed over, raw and filtered.
#include <atomic>

#include "kivo/thread_signals.h"
#include "velto/acquisition.h"

namespace velto {

void AcquisitionState::savedata_threadfunc() {
  kivo::block_signals_in_this_thread();
  // After 'close' the blocks handed over before it are still written; then
  // take() comes back empty.
  while (const auto half = handover_.take()) {
    save_block(vreadbuf.data() + *half * static_cast<size_t>(total_bytes));
    handover_.release(*half);
  }
}

void AcquisitionState::save_block(const uint8_t* block) {
  if (before_write_) before_write_();
  const auto size = static_cast<size_t>(total_bytes);
  if (fp.is_open()) {
    if (const int error = fp.append(block, size)) {
      counters_.write_errors.fetch_add(1, std::memory_order_relaxed);
      counters_.last_write_error.store(error, std::memory_order_relaxed);
    } else {
      counters_.blocks_saved.fetch_add(1, std::memory_order_relaxed);
    }
  }
  if (!filt || !filtered_file_.is_open()) return;
  kivo::filter_block(*filt, block, vfilt2disk.data(), nchans, nsamp);
  if (const int error = filtered_file_.append(vfilt2disk.data(), size)) {
    counters_.filtered_write_errors.fetch_add(1, std::memory_order_relaxed);
    counters_.last_filtered_write_error.store(error, std::memory_order_relaxed);
  }
}

}  // namespace velto
