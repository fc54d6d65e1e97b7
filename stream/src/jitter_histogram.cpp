// Binning straight from the bits of a double: the exponent picks the octave
// and the top four bits of the fraction the sixteenth within it, so adding a
// value costs no logarithm.
#include "kivo/jitter_histogram.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace kivo {
namespace {

constexpr int kExponentBias = 1023;
constexpr int kFractionBits = 52;
constexpr int kBinBits = 4;          // 16 bins per octave
constexpr double kLowest = 0x1p-24;  // 2^kLowestExponent
constexpr double kHighest = 0x1p10;  // 2^kHighestExponent

}  // namespace

size_t JitterHistogram::bin_of(double seconds) {
  static_assert(kLowestExponent == -24 && kHighestExponent == 10,
                "kLowest and kHighest follow the exponents");
  if (!(seconds >= kLowest)) return 0;  // NaN too
  if (seconds >= kHighest) return kBins - 1;
  uint64_t bits = 0;
  std::memcpy(&bits, &seconds, sizeof bits);
  const int exponent = static_cast<int>((bits >> kFractionBits) & 0x7FF) - kExponentBias;
  const auto sixteenth = static_cast<size_t>((bits >> (kFractionBits - kBinBits)) & 0xF);
  return 1 + static_cast<size_t>(exponent - kLowestExponent) * kBinsPerOctave + sixteenth;
}

double JitterHistogram::middle_of(size_t bin) {
  if (bin == 0) return 0;
  if (bin == kBins - 1) return kHighest;
  const size_t octave = (bin - 1) / kBinsPerOctave;
  const size_t sixteenth = (bin - 1) % kBinsPerOctave;
  const double low = 1.0 + static_cast<double>(sixteenth) / kBinsPerOctave;
  return std::ldexp(low + 0.5 / kBinsPerOctave, kLowestExponent + static_cast<int>(octave));
}

void JitterHistogram::add(double seconds) {
  ++bins_[bin_of(seconds)];
  ++count_;
  if (seconds > max_) max_ = seconds;
}

void JitterHistogram::merge(const JitterHistogram& other) {
  for (size_t i = 0; i < kBins; ++i) bins_[i] += other.bins_[i];
  count_ += other.count_;
  if (other.max_ > max_) max_ = other.max_;
}

void JitterHistogram::clear() { *this = JitterHistogram{}; }

double JitterHistogram::quantile(double q) const {
  if (count_ == 0) return std::numeric_limits<double>::quiet_NaN();
  // The rank of the value asked for, 1-based: the median of 3 is the 2nd.
  const double wanted = std::ceil(q * static_cast<double>(count_));
  const uint64_t rank = wanted < 1 ? 1 : static_cast<uint64_t>(wanted);
  uint64_t seen = 0;
  for (size_t i = 0; i < kBins; ++i) {
    seen += bins_[i];
    if (seen >= rank) return std::fmin(middle_of(i), max_);
  }
  return max_;
}

double JitterHistogram::max() const { return count_ == 0 ? std::numeric_limits<double>::quiet_NaN() : max_; }

}  // namespace kivo
