#include "analysis.h"

#include <algorithm>
#include <limits>

#include "stale_slots.h"

namespace kivoinspect {
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

void note_sequence(Summary& s, uint64_t k, uint16_t seq) {
  if (s.last_sequence) {
    const auto skipped = static_cast<uint16_t>(seq - *s.last_sequence - 1U);
    if (skipped != 0) {
      SequenceGaps& g = s.gaps;
      ++g.count;
      g.missing += skipped;
      if (skipped > g.largest) {
        g.largest = skipped;
        g.largest_at = k;
      }
      if (g.first_at.size() < kPositionsKept) g.first_at.push_back(k);
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

Summary analyse(const Slots& slots, const Progress& progress) {
  Summary s;
  s.layout = slots.layout();
  s.extent = extent_of(slots.size(), s.layout);
  const std::vector<bool> stale = find_stale_slots(slots);
  const auto nchans = static_cast<size_t>(s.layout.geometry.nchans);
  const auto nsamp = static_cast<size_t>(s.layout.geometry.nsamp);
  ChannelSums sums(nchans);
  for (uint64_t k = 0; k < slots.count(); ++k) {
    if (progress && k % kProgressEvery == 0) progress(k, slots.count());
    if (stale[k]) {
      ++s.stale_slots;
      if (s.stale_first_at.size() < kPositionsKept) s.stale_first_at.push_back(k);
      continue;
    }
    ++s.fresh_slots;
    note_sequence(s, k, slots.sequence(k));
    if (s.layout.stamped()) note_stamp(s, slots.stamp(k));
    sums.add(slots.datagram(k), nchans, nsamp);
  }
  if (progress) progress(slots.count(), slots.count());
  if (s.first_stamp && s.fresh_slots > 1 && *s.last_stamp > *s.first_stamp) {
    s.mean_rate = static_cast<double>(s.fresh_slots - 1) / (*s.last_stamp - *s.first_stamp);
  }
  s.channels = sums.result();
  return s;
}

}  // namespace kivoinspect
