#include "kivo/status.h"

#include <initializer_list>

namespace kivo {

void StatusCounters::reset() {
  for (auto* counter : {&datagrams, &bytes, &failed_receives, &sequence_gaps, &blocks_saved,
                        &writer_stalls, &kernel_drops, &wrong_size_datagrams, &datagrams_not_saved}) {
    counter->store(0, std::memory_order_relaxed);
  }
}

kivo::RecordingTotals StatusCounters::shared_totals() const {
  kivo::RecordingTotals totals;
  totals.datagrams_received = datagrams.load();
  totals.failed_receives = failed_receives.load();
  totals.sequence_gaps = sequence_gaps.load();
  totals.writer_stalls = writer_stalls.load();
  totals.kernel_drops = kernel_drops.load();
  totals.wrong_size_datagrams = wrong_size_datagrams.load();
  totals.datagrams_not_saved = datagrams_not_saved.load();
  return totals;
}

std::array<StatusField, kStatusFields> status_fields(const AcquisitionStatus& s) {
  auto count = [](uint64_t value) { return static_cast<int64_t>(value); };
  return {{
      {"port", s.port},
      {"nchans", count(s.nchans)},
      {"nsamp", count(s.nsamp)},
      {"datagrams", count(s.datagrams)},
      {"bytes", count(s.bytes)},
      {"failed_receives", count(s.failed_receives)},
      {"sequence_gaps", count(s.sequence_gaps)},
      {"blocks_saved", count(s.blocks_saved)},
      {"writer_stalls", count(s.writer_stalls)},
      {"write_errors", count(s.write_errors)},
      {"kernel_drops", count(s.kernel_drops)},
      {"wrong_size_datagrams", count(s.wrong_size_datagrams)},
      {"datagrams_not_saved", count(s.datagrams_not_saved)},
      {"socket_buffer_bytes", s.socket_buffer_bytes},
  }};
}

}  // namespace kivo
