// 'mark' of the acquisition engine: on the host thread alone, reading what
// the receiver publishes without a lock, and one write to the events file.
#include "kivo/acquisition.h"
#include "kivo/block_file.h"
#include "kivo/clock.h"
#include "kivo/event_placement.h"
#include "messages.h"

namespace kivo {

EventRow Acquisition::mark(uint64_t value, const std::string& text) {
  // A forked child holds a copy of its parent's acquisition: its marks
  // would land in the parent's file.
  if (!running_ || held_by_another_process()) {
    throw AcquisitionError(FailureKind::refused, messages::kNothingToMark);
  }
  if (value > kMaxEventValue) {
    throw AcquisitionError(FailureKind::refused, messages::mark_value_out_of_range());
  }
  if (text.size() > kMaxEventTextBytes) {
    throw AcquisitionError(FailureKind::refused, messages::mark_text_too_long());
  }
  // The clock is read first: the row is placed at the moment of the call.
  const double now = kivo::unix_time_seconds();
  EventRow row = place_event(now, receiver_.clock_lines().read(), receiver_.file_rows().read());
  row.value = value;
  row.text = text;
  if (const int error = events_.append(row)) {
    throw AcquisitionError(FailureKind::refused,
                           messages::mark_not_written(events_.path(), kivo::file_error_text(error)));
  }
  return row;
}

}  // namespace kivo
