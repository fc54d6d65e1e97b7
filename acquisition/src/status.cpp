#include "kivo/status.h"

namespace kivo {

void StatusCounters::reset() {
  for (const CountedField& field : kCountedFields) {
    (this->*field.counter).store(0, std::memory_order_relaxed);
  }
}

AcquisitionStatus StatusCounters::snapshot() const {
  AcquisitionStatus status;
  for (const CountedField& field : kCountedFields) {
    status.*field.shown = (this->*field.counter).load(std::memory_order_relaxed);
  }
  return status;
}

RecordingTotals StatusCounters::shared_totals() const {
  RecordingTotals totals;
  for (const CountedField& field : kCountedFields) {
    if (field.total) totals.*field.total = (this->*field.counter).load(std::memory_order_relaxed);
  }
  return totals;
}

}  // namespace kivo
