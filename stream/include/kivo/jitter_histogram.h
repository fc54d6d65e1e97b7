// How far stamps lie above the fitted line, in constant memory: a histogram
// of 16 bins per octave from 60 ns to 1024 s, from which the median and the
// 99th percentile are read to within about 3%; the maximum is kept exactly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kivo {

// One thread at a time; never allocates.
class JitterHistogram {
 public:
  // Notes one distance above the line, in seconds (below 60 ns counts as 0).
  void add(double seconds);
  void merge(const JitterHistogram& other);
  void clear();

  uint64_t count() const { return count_; }
  // The value below which a fraction q (0..1) of the distances lie: the
  // middle of its bin, never above the maximum. NaN when nothing was noted.
  double quantile(double q) const;
  double max() const;

 private:
  static constexpr int kBinsPerOctave = 16;
  static constexpr int kLowestExponent = -24;  // 2^-24 s, about 60 ns
  static constexpr int kHighestExponent = 10;  // 2^10 s
  static constexpr size_t kBins = size_t{kBinsPerOctave} * (kHighestExponent - kLowestExponent) + 2;

  static size_t bin_of(double seconds);
  static double middle_of(size_t bin);

  std::array<uint64_t, kBins> bins_{};  // bin 0: below 2^-24 s; the last: 2^10 s and more
  uint64_t count_ = 0;
  double max_ = 0;
};

}  // namespace kivo
