#include "analysis.h"

#include <algorithm>
#include <array>
#include <limits>

#include "kivo/sample_clock.h"
#include "kivo/sequence_tracker.h"
#include "stale_slots.h"

namespace kivo::inspect {
namespace {

constexpr uint64_t kProgressEvery = 4096;  // slots

struct ChannelSums {
  std::vector<uint16_t> minimum;
  std::vector<uint16_t> maximum;
  std::vector<uint64_t> sum;
  uint64_t steps = 0;

  explicit ChannelSums(size_t nchans)
      : minimum(nchans, std::numeric_limits<uint16_t>::max()), maximum(nchans, 0), sum(nchans, 0) {}

  void add(const uint8_t* datagram, size_t nchans, size_t nsamp) {
    const uint8_t* p = kivo::sample_run(datagram);
    for (size_t t = 0; t < nsamp; ++t) {
      for (size_t ch = 0; ch < nchans; ++ch, p += 2) {
        const uint16_t v = kivo::load_u16le(p);
        minimum[ch] = std::min(minimum[ch], v);
        maximum[ch] = std::max(maximum[ch], v);
        sum[ch] += v;
      }
    }
    steps += nsamp;
  }

  std::vector<ChannelStats> result() const {
    std::vector<ChannelStats> out;
    if (steps == 0) return out;
    for (size_t ch = 0; ch < sum.size(); ++ch) {
      out.push_back({minimum[ch], maximum[ch], static_cast<double>(sum[ch]) / static_cast<double>(steps)});
    }
    return out;
  }
};

// Which numbers of the last 65536 on the unwrapped count were seen, one bit
// per number: a datagram that arrives behind the highest number so far
// (reordered or duplicated on the network) breaks the run, but it skips no
// numbers, and a late one fills a number that was counted missing. Bit r
// stands for the one place in (highest - 65536, highest] whose low 16 bits
// are r; the places the highest passes over are cleared as it moves. The bit
// set takes 8 KiB whatever the length of the file.
class NumberLine {
 public:
  // Notes datagram number `u`; returns the numbers it skipped ahead of the
  // highest so far (0 when it is behind).
  uint64_t note(int64_t u, SequenceGaps& g) {
    if (!have_) {
      have_ = true;
      first_ = highest_ = u;
      set(u);
      return 0;
    }
    if (u > highest_) {
      const auto skipped = static_cast<uint64_t>(u - highest_ - 1);
      clear_run(static_cast<uint16_t>(highest_ + 1),
                static_cast<uint32_t>(std::min<uint64_t>(skipped, kWindow)));
      highest_ = u;
      set(u);
      return skipped;
    }
    const bool remembered = highest_ - u < kWindow;
    if (remembered && is_set(u)) {
      ++g.repeated;
      return 0;
    }
    ++g.late;
    if (remembered) set(u);
    if (u > first_ && g.missing > 0) --g.missing;
    return 0;
  }

 private:
  static constexpr int64_t kWindow = 65536;

  void set(int64_t u) {
    const auto r = static_cast<uint16_t>(u);
    bits_[r >> 6] |= uint64_t{1} << (r & 63);
  }
  bool is_set(int64_t u) const {
    const auto r = static_cast<uint16_t>(u);
    return (bits_[r >> 6] >> (r & 63)) & 1U;
  }
  // Clears `count` bits from `from` on, wrapping at 65536, a word at a time.
  void clear_run(uint16_t from, uint32_t count) {
    while (count > 0) {
      const uint32_t bit = from & 63U;
      const uint32_t n = std::min<uint32_t>(count, 64U - bit);
      const uint64_t ones = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
      bits_[from >> 6] &= ~(ones << bit);
      from = static_cast<uint16_t>(from + n);
      count -= n;
    }
  }

  std::array<uint64_t, 65536 / 64> bits_{};
  int64_t first_ = 0;
  int64_t highest_ = 0;
  bool have_ = false;
};

// Each fresh slot's datagram number, as the recorders' sample clock gives
// it: from the stamps, or in a file without stamps by the chain of numbers
// and the anchors (kivo/slot_anchors.h), which runs through every slot.
class Numbering {
 public:
  Numbering(const Layout& layout, const std::vector<kivo::SlotAnchor>& anchors)
      : nsamp_(layout.geometry.nsamp), clock_(nsamp_, 0), chain_(nsamp_, anchors) {}

  int64_t fresh(const Slots& slots, uint64_t k) {
    const uint16_t seq = slots.sequence(k);
    if (!slots.layout().stamped()) return chain_.next(seq) / nsamp_;
    return clock_.note(seq, slots.stamp(k)).first_sample / nsamp_;
  }
  void stale(const Slots& slots, uint64_t k) {
    if (!slots.layout().stamped()) chain_.next(slots.sequence(k));
  }
  kivo::SampleTiming timing() const { return clock_.timing(); }

 private:
  int32_t nsamp_;
  kivo::SampleClock clock_;
  kivo::SlotChain chain_;
};

// A gap is a datagram not numbered previous + 1 in 16 bits, as the
// recorders count sequence_gaps; what it skipped is found on the unwrapped
// numbers.
void note_sequence(Summary& s, NumberLine& numbers, kivo::SequenceTracker& run, uint64_t k, uint16_t seq,
                   int64_t u) {
  SequenceGaps& g = s.gaps;
  const uint64_t skipped = numbers.note(u, g);
  if (run.note(seq)) {
    ++g.count;
    if (g.first_at.size() < kPositionsKept) g.first_at.push_back(k);
  }
  if (s.last_sequence) {
    g.missing += skipped;
    if (skipped > g.largest) {
      g.largest = skipped;
      g.largest_at = k;
    }
  } else {
    s.first_sequence = seq;
  }
  s.last_sequence = seq;
}

void note_stamp(Summary& s, double stamp) {
  if (!s.first_stamp) s.first_stamp = stamp;
  s.last_stamp = stamp;
}

}  // namespace

Summary analyse(const Slots& slots, const Progress& progress, const std::vector<kivo::SlotAnchor>& anchors,
                const std::set<uint64_t>& wanted) {
  Summary s;
  s.layout = slots.layout();
  s.extent = extent_of(slots.size(), s.layout);
  const std::vector<bool> stale = find_stale_slots(slots);
  const auto nchans = static_cast<size_t>(s.layout.geometry.nchans);
  const auto nsamp = static_cast<size_t>(s.layout.geometry.nsamp);
  ChannelSums sums(nchans);
  NumberLine numbers;
  Numbering numbering(s.layout, anchors);
  kivo::SequenceTracker run;
  for (uint64_t k = 0; k < slots.count(); ++k) {
    if (progress && k % kProgressEvery == 0) progress(k, slots.count());
    if (stale[k]) {
      numbering.stale(slots, k);
      ++s.stale_slots;
      if (s.stale_first_at.size() < kPositionsKept) s.stale_first_at.push_back(k);
      continue;
    }
    ++s.fresh_slots;
    const int64_t u = numbering.fresh(slots, k);
    note_sequence(s, numbers, run, k, slots.sequence(k), u);
    if (wanted.count(k) != 0) s.first_samples[k] = u * static_cast<int64_t>(nsamp);
    if (s.layout.stamped()) note_stamp(s, slots.stamp(k));
    sums.add(slots.datagram(k), nchans, nsamp);
  }
  if (progress) progress(slots.count(), slots.count());
  if (s.first_stamp && s.fresh_slots > 1 && *s.last_stamp > *s.first_stamp) {
    s.mean_rate = static_cast<double>(s.fresh_slots - 1) / (*s.last_stamp - *s.first_stamp);
  }
  if (s.layout.stamped()) s.fitted = numbering.timing();
  s.channels = sums.result();
  return s;
}

}  // namespace kivo::inspect
