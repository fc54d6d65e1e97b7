// Which slots of a recording become rows of the export, and where the
// device's numbering breaks between them. Stale slots and missing datagrams
// add no rows: every row holds a sample the device sent.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "analysis.h"
#include "kivo/sample_timing.h"
#include "kivo/sequence_unwrap.h"
#include "recording.h"

namespace kivo::exporter {

// Where the rows stop following on from each other: row `row` (0-based) is
// not the sample after row - 1.
struct Boundary {
  uint64_t row = 0;
  int64_t missing = 0;  // samples per channel the numbering skips; below 0 it steps back
  kivo::DatagramPlace place = kivo::DatagramPlace::next;
};

struct Plan {
  int32_t nsamp = 0;
  uint64_t slots = 0;
  std::vector<bool> stale;                   // one flag per slot
  std::vector<uint64_t> exported;            // the slots that become rows, ascending
  std::vector<int64_t> first_samples;        // the device's index of each exported slot's first sample
  std::vector<Boundary> boundaries;          // in row order
  std::optional<kivo::SampleTiming> fitted;  // the clock fitted to the stamps (stamped files)
  uint64_t sequence_breaks = 0;              // exported slots not numbered previous + 1

  uint64_t stale_count() const { return slots - exported.size(); }
  uint64_t rows() const { return exported.size() * static_cast<uint64_t>(nsamp); }
  // The row that holds the file's sample row `file_row` (as the readers number
  // the samples of every slot), or the next row when its slot is left out;
  // nothing when no exported row follows.
  std::optional<uint64_t> row_of_file_row(uint64_t file_row) const;
  // The row that holds the device's sample `sample`, or the next row after
  // it when it was never received; nothing past the last row.
  std::optional<uint64_t> row_of_sample(int64_t sample) const;
};

// One pass over the slots (after the stale slots are found): each slot's
// place in the device's numbering, by the fitted clock where the file has
// stamps and by sequence number alone where it has none.
Plan make_plan(const inspect::Slots& slots, const inspect::Progress& progress = {});

}  // namespace kivo::exporter
