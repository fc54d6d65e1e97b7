// Where a mark lands in the raw file: the rows of the datagrams as the
// receiver notes them, through gaps and the stale slots a block leaves.
#include <gtest/gtest.h>

#include "kivo/event_placement.h"
#include "kivo/file_rows.h"
#include "kivo/shared_clock.h"

namespace {

constexpr int32_t kNsamp = 125;
constexpr double kT0 = 1.7e9;
constexpr double kRate = 250000.0;

// The moment of device sample n on the line, a little after it begins.
double moment_of(int64_t n) { return kT0 + (static_cast<double>(n) + 0.25) / kRate; }

TEST(EventPlacement, RowsFollowTheFileThroughGapsAndStaleSlots) {
  kivo::SharedFileRows rows;
  rows.reset(kNsamp);
  kivo::ClockLines lines;
  lines.current = {0, 100 * kNsamp, kT0, kRate};
  EXPECT_FALSE(kivo::place_event(moment_of(0), lines, rows.read()).sample) << "before the first datagram";

  for (uint64_t slot = 0; slot < 3; ++slot) rows.note(slot, (10 + static_cast<int64_t>(slot)) * kNsamp);
  const kivo::EventRow in_run = kivo::place_event(moment_of(11 * kNsamp + 7), lines, rows.read());
  EXPECT_EQ(in_run.sample, uint64_t{kNsamp + 7});
  EXPECT_NEAR(*in_run.onset, (kNsamp + 7.25) / kRate, 1e-6);  // stamps near 1.7e9 s hold 0.24 us
  EXPECT_EQ(kivo::place_event(moment_of(14 * kNsamp), lines, rows.read()).sample, uint64_t{4 * kNsamp})
      << "beyond the latest datagram, as if none were missing";

  rows.note(3, 20 * kNsamp);  // datagrams 13 to 19 never came
  EXPECT_EQ(kivo::place_event(moment_of(15 * kNsamp), lines, rows.read()).sample, uint64_t{3 * kNsamp})
      << "in the gap: the next row after it";
  EXPECT_EQ(kivo::place_event(moment_of(20 * kNsamp + 3), lines, rows.read()).sample,
            uint64_t{3 * kNsamp + 3});

  rows.note(1000, 21 * kNsamp);  // slots 4 to 999 of the first block stayed stale
  EXPECT_EQ(kivo::place_event(moment_of(21 * kNsamp + 5), lines, rows.read()).sample,
            uint64_t{1000 * kNsamp + 5});

  lines.current.sample_rate = kivo::kNoTime;  // a new segment without a rate yet
  EXPECT_FALSE(kivo::place_event(moment_of(21 * kNsamp), lines, rows.read()).sample);
}

}  // namespace
