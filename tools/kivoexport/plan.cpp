#include "plan.h"

#include <algorithm>

#include "kivo/sample_clock.h"
#include "kivo/sequence_tracker.h"
#include "stale_slots.h"

namespace kivo::exporter {
namespace {

constexpr uint64_t kProgressEvery = 4096;  // slots

// Places datagrams by their sequence numbers alone, for files without
// stamps: a number a little behind is late, any other follows after a gap.
class NumberOnlyClock {
 public:
  explicit NumberOnlyClock(int32_t nsamp) : nsamp_(nsamp) {}

  kivo::DatagramPosition note(uint16_t sequence) {
    if (!started_) {
      started_ = true;
      state_.last_datagram = sequence;
      state_.last_sequence = sequence;
      return {int64_t{sequence} * nsamp_, kivo::DatagramPlace::first};
    }
    const kivo::Unwrapped placed = kivo::unwrap_sequence(state_, kivo::LineNearLast{}, sequence, 0.0);
    if (placed.place == kivo::DatagramPlace::next) {
      state_.last_datagram = placed.datagram;
      state_.last_sequence = sequence;
    }
    return {placed.datagram * nsamp_, placed.place};
  }

 private:
  int32_t nsamp_;
  bool started_ = false;
  kivo::NumberingState state_;
};

}  // namespace

std::optional<uint64_t> Plan::row_of_file_row(uint64_t file_row) const {
  const uint64_t n = static_cast<uint64_t>(nsamp);
  const uint64_t slot = file_row / n;
  const auto at = std::lower_bound(exported.begin(), exported.end(), slot);
  if (at == exported.end()) return std::nullopt;
  const uint64_t row = static_cast<uint64_t>(at - exported.begin()) * n;
  return *at == slot ? row + file_row % n : row;
}

std::optional<uint64_t> Plan::row_of_sample(int64_t sample) const {
  // The first exported slot that ends after `sample`. Datagrams that came
  // late break the order; the search then finds one of the slots around.
  const auto at = std::partition_point(first_samples.begin(), first_samples.end(),
                                       [&](int64_t first) { return first + nsamp <= sample; });
  if (at == first_samples.end()) return std::nullopt;
  const uint64_t row = static_cast<uint64_t>(at - first_samples.begin()) * static_cast<uint64_t>(nsamp);
  return sample >= *at ? row + static_cast<uint64_t>(sample - *at) : row;
}

Plan make_plan(const inspect::Slots& slots, const inspect::Progress& progress) {
  Plan plan;
  const inspect::Layout& layout = slots.layout();
  plan.nsamp = layout.geometry.nsamp;
  plan.slots = slots.count();
  plan.stale = inspect::find_stale_slots(slots);
  plan.exported.reserve(slots.count());
  plan.first_samples.reserve(slots.count());
  const bool stamped = layout.stamped();
  kivo::SampleClock clock(plan.nsamp, 0);
  NumberOnlyClock numbers(plan.nsamp);
  kivo::SequenceTracker run;
  for (uint64_t k = 0; k < slots.count(); ++k) {
    if (progress && k % kProgressEvery == 0) progress(k, slots.count());
    if (plan.stale[k]) continue;
    const uint16_t sequence = slots.sequence(k);
    if (run.note(sequence)) ++plan.sequence_breaks;
    const kivo::DatagramPosition position =
        stamped ? clock.note(sequence, slots.stamp(k)) : numbers.note(sequence);
    if (!plan.first_samples.empty()) {
      const int64_t missing = position.first_sample - (plan.first_samples.back() + plan.nsamp);
      if (missing != 0) plan.boundaries.push_back({plan.rows(), missing, position.place});
    }
    plan.exported.push_back(k);
    plan.first_samples.push_back(position.first_sample);
  }
  if (progress) progress(slots.count(), slots.count());
  if (stamped) plan.fitted = clock.timing();
  return plan;
}

}  // namespace kivo::exporter
