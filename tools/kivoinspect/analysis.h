// What kivoinspect reports about one sample file: its extent, its stamps and
// rate, the device's clock fitted to its stamps, the breaks in its sequence
// numbers, its stale slots and the range of every channel.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "kivo/sample_timing.h"
#include "kivo/slot_anchors.h"
#include "recording.h"

namespace kivo::inspect {

// Called now and then during a long pass: slots done of all slots.
using Progress = std::function<void(uint64_t done, uint64_t total)>;

// Where the first few findings of a kind lie (slot numbers from 0).
inline constexpr size_t kPositionsKept = 10;

// Counted on the datagrams' numbers unwrapped as the recorders' sample clock
// unwraps them (from the stamps; in kivorec's files, which have none, by the
// numbers and the metadata's anchors), so a gap of more than half a wrap
// counts as the numbers it skipped.
struct SequenceGaps {
  uint64_t count = 0;       // slots whose number is not the previous one's + 1
  uint64_t missing = 0;     // sequence numbers skipped and not seen later, in all
  uint64_t largest = 0;     // most numbers skipped at one place
  uint64_t largest_at = 0;  // slot after the largest gap
  uint64_t late = 0;        // datagrams behind the highest number so far, not seen before (reordered)
  uint64_t repeated = 0;    // datagrams whose number was seen before (duplicated)
  std::vector<uint64_t> first_at;
};

struct ChannelStats {
  uint16_t minimum = 0;
  uint16_t maximum = 0;
  double mean = 0;
};

struct Summary {
  Layout layout;
  Extent extent;
  uint64_t stale_slots = 0;
  std::vector<uint64_t> stale_first_at;
  uint64_t fresh_slots = 0;  // slots that are not stale
  // Of the fresh slots, in file order.
  std::optional<uint16_t> first_sequence;
  std::optional<uint16_t> last_sequence;
  std::optional<double> first_stamp;  // plug-in files only
  std::optional<double> last_stamp;
  double mean_rate = 0;  // datagrams per second between them; 0 when unknown
  // The sample clock fitted to the fresh slots' stamps (plug-in files); its
  // stamp_source says only "receiver", as the stamps do not tell.
  std::optional<kivo::SampleTiming> fitted;
  SequenceGaps gaps;
  // The first device sample of each fresh slot asked for (as the clock
  // numbers them), for placing rows named elsewhere on the clock.
  std::map<uint64_t, int64_t> first_samples;
  std::vector<ChannelStats> channels;  // over the fresh slots; empty when none
};

// `anchors`: the metadata's slot anchors of a file without stamps;
// `wanted`: the slots whose first samples the summary keeps.
Summary analyse(const Slots& slots, const Progress& progress = {},
                const std::vector<kivo::SlotAnchor>& anchors = {}, const std::set<uint64_t>& wanted = {});

}  // namespace kivo::inspect
