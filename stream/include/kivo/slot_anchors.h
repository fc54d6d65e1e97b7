// Where the slots of a file without stamps (kivorec's) lie in the
// recording's numbering: a datagram numbered u holds samples u * nsamp to
// u * nsamp + nsamp - 1 (kivo/sample_clock.h).
//
// Such a file keeps only each datagram's 16-bit sequence number, so its
// readers chain the slots: the first slot is its own number, as the sample
// clock numbers a first datagram, and every later slot follows the one before
// it by its number's distance forward, or lies up to kChainLateWindow numbers
// back (a late or repeated datagram). A gap of a whole wrap or more, or a
// device that restarted its numbering, defeats the chain. The recorder's
// clock saw the stamps and knows better: the slots it placed otherwise are
// the metadata's anchors ("slot_anchors"), and every reader restarts the
// chain at each one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo {

inline constexpr int64_t kChainLateWindow = 64;

struct SlotAnchor {
  uint64_t slot = 0;         // in the file, from 0
  int64_t first_sample = 0;  // of the datagram in it

  bool operator==(const SlotAnchor& other) const {
    return slot == other.slot && first_sample == other.first_sample;
  }
};

// The datagram number of a slot that follows one numbered `previous` with
// the sequence number `previous_sequence`.
int64_t chained_datagram(int64_t previous, uint16_t previous_sequence, uint16_t sequence);

// A file's slots placed in order, from the first. One thread at a time.
class SlotChain {
 public:
  // `anchors` in the order of their slots; kept by reference.
  SlotChain(int32_t nsamp, const std::vector<SlotAnchor>& anchors);
  // The first sample index of the next slot, which holds `sequence`.
  int64_t next(uint16_t sequence);

 private:
  int32_t nsamp_;
  const std::vector<SlotAnchor>& anchors_;
  size_t next_anchor_ = 0;
  uint64_t slot_ = 0;
  int64_t datagram_ = 0;
  uint16_t sequence_ = 0;
};

// The anchors of a recording as it is made: the receiving thread notes
// every slot it fills, with the clock's place for its datagram, block by
// block, and says whether each block reached the file (a block the writer
// had no room for is dropped, and the chain of the file's readers never
// sees it). Nothing is allocated after construction: past kCapacity anchors
// no more are kept. One thread at a time.
class AnchorLog {
 public:
  // Far more than any recording needs (a restart or a gap of whole wraps
  // each): 1 MiB.
  static constexpr size_t kCapacity = 65536;

  explicit AnchorLog(int32_t nsamp);

  // The next slot of the block in progress holds `sequence` (as the slot
  // holds it) and the clock placed its datagram at `first_sample`.
  void note(uint16_t sequence, int64_t first_sample);
  // The next slot holds `sequence` but the clock did not place it (too
  // short to carry a number): the readers' chain goes on from it.
  void note_unplaced(uint16_t sequence);
  // The block in progress reached the file, or did not.
  void keep_block();
  void drop_block();

  // The anchors of the blocks kept, in the order of their slots.
  std::vector<SlotAnchor> anchors() const;

 private:
  struct Chain {
    bool started = false;
    uint64_t slot = 0;  // the next slot of the file
    int64_t datagram = 0;
    uint16_t sequence = 0;
  };
  void step(uint16_t sequence, int64_t datagram);

  int32_t nsamp_;
  Chain chain_;                      // up to the block in progress
  Chain kept_;                       // up to the last block kept
  std::vector<SlotAnchor> anchors_;  // of the blocks kept, then of the block in progress
  size_t kept_anchors_ = 0;
};

}  // namespace kivo
