// The band filter on every implementation this machine runs: block by block it
// must give the bits of one pass of the difference equation over each
// channel's whole stream, and the rounding and saturation rules at their edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "filter_stream.h"
#include "kivo/band_filter.h"

namespace {

using filter_test::Coefficients;
using filter_test::Stream;
using kivo::FilterIsa;
using kivo::FilterState;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

FilterState coefficients(const Coefficients& b, const Coefficients& a) { return FilterState{b, a, {}, {}}; }

// Filters `raw` block by block from `start`; `state` ends as the filter left it.
Stream filter(FilterIsa isa, const FilterState& start, const Stream& raw, FilterState& state) {
  state = start;
  return filter_test::filter_stream(isa, state, raw);
}

// A stable filter of order four: two pole pairs inside the unit circle and
// numerator taps that sum to zero, as a band-pass has.
void stable_coefficients(std::mt19937& rng, Coefficients& b, Coefficients& a) {
  std::uniform_real_distribution<double> radius(0.5, 0.98), angle(0.05, 3.0), tap(-0.3, 0.3);
  const double r1 = radius(rng), r2 = radius(rng), c1 = -2 * r1 * std::cos(angle(rng)),
               c2 = -2 * r2 * std::cos(angle(rng));
  const double q1 = r1 * r1, q2 = r2 * r2;
  const double poly[5] = {1, c1 + c2, q1 + c1 * c2 + q2, c1 * q2 + c2 * q1, q1 * q2};
  double sum = 0;
  for (int i = 0; i < 5; ++i) {
    a[i] = static_cast<float>(poly[i]);
    b[i] = static_cast<float>(i < 4 ? tap(rng) : -sum);
    sum += b[i];
  }
}

// Unstable or extreme sets: saturation, infinite products and NaN sums.
void wild_coefficients(std::mt19937& rng, int kind, Coefficients& b, Coefficients& a) {
  std::uniform_real_distribution<float> any(-2.0f, 2.0f);
  for (int i = 0; i < 5; ++i) {
    b[i] = any(rng);
    a[i] = any(rng);
  }
  if (kind == 1) b = {3e38f, 3e38f, -3e38f, 1.0f, -1e30f};  // inf, inf - inf
}

// Sines of random amplitude about mid-scale with noise, so that outputs
// both stay in range and saturate.
void fill_signal(Stream& s, std::mt19937& rng) {
  filter_test::fill_random(s, rng);
  std::uniform_real_distribution<double> amplitude(100, 32000), period(3, 400);
  std::uniform_int_distribution<int> noise(-300, 300);
  for (size_t c = 0; c < s.nchans; ++c) {
    const double amp = amplitude(rng), per = period(rng);
    for (size_t n = 0; n < s.steps(); ++n) {
      const double v = 32768 + amp * std::sin(6.283185307 * static_cast<double>(n) / per) + noise(rng);
      s.set_sample(n, c, static_cast<uint16_t>(std::min(65535.0, std::max(0.0, v))));
    }
  }
}

std::vector<uint16_t> channel(const Stream& s, size_t c) {
  std::vector<uint16_t> values(s.steps());
  for (size_t n = 0; n < values.size(); ++n) values[n] = s.sample(n, c);
  return values;
}

// Compares every channel of `out` with the oracle run over `raw` from the
// histories the state had at the start.
void expect_reference(const Stream& raw, const Stream& out, const FilterState& start) {
  for (size_t c = 0; c < raw.nchans; ++c) {
    std::array<uint16_t, 4> xh{}, yh{};
    for (size_t k = 0; k < 4; ++k) {
      xh[k] = start.x_history[k * raw.nchans + c];
      yh[k] = start.y_history[k * raw.nchans + c];
    }
    const auto expected = filter_test::reference_channel(channel(raw, c), start.b, start.a, xh, yh);
    const auto got = channel(out, c);
    for (size_t n = 0; n < expected.size(); ++n) {
      ASSERT_EQ(got[n], expected[n]) << "channel " << c << " of " << raw.nchans << ", step " << n;
    }
  }
}

class BandFilter : public testing::TestWithParam<FilterIsa> {
 protected:
  // Filters `raw` block by block and expects every sample to be `expect(step, c)`.
  template <class Expect>
  void expect_samples(const FilterState& start, const Stream& raw, Expect expect) {
    FilterState state;
    const Stream out = filter(GetParam(), start, raw, state);
    for (size_t n = 0; n < raw.steps(); ++n) {
      for (size_t c = 0; c < raw.nchans; ++c) {
        ASSERT_EQ(out.sample(n, c), expect(n, c))
            << raw.nchans << " channels, step " << n << ", channel " << c;
      }
    }
  }
};

TEST_P(BandFilter, BlockByBlockEqualsOnePassOverEachChannel) {
  std::mt19937 rng(7 + static_cast<int>(GetParam()));
  for (size_t nchans = 1; nchans <= 16; ++nchans) {
    SCOPED_TRACE("channels " + std::to_string(nchans));
    Stream raw(nchans, 3);
    if (nchans % 2 == 0) {
      filter_test::fill_random(raw, rng);  // white noise over the whole range
    } else {
      fill_signal(raw, rng);
    }
    Coefficients b{}, a{};
    if (nchans % 4 == 3) {
      wild_coefficients(rng, static_cast<int>(nchans / 4) % 2, b, a);
    } else {
      stable_coefficients(rng, b, a);
    }
    FilterState start = coefficients(b, a);
    std::uniform_int_distribution<int> any(0, 65535);
    for (size_t i = 0; i < 4 * nchans; ++i) {
      start.x_history[i] = static_cast<uint16_t>(any(rng));
      start.y_history[i] = static_cast<uint16_t>(any(rng));
    }
    FilterState state;
    const Stream out = filter(GetParam(), start, raw, state);
    expect_reference(raw, out, start);
    for (size_t slot = 0; slot < 3000; ++slot) {
      const uint8_t* head = raw.bytes.data() + slot * raw.slot_bytes;
      ASSERT_TRUE(std::equal(head, head + 20, out.bytes.data() + slot * raw.slot_bytes)) << "slot " << slot;
    }
    for (size_t k = 0; k < 4; ++k) {
      for (size_t c = 0; c < nchans; ++c) {
        EXPECT_EQ(state.x_history[k * nchans + c], raw.sample(raw.steps() - 4 + k, c));
        EXPECT_EQ(state.y_history[k * nchans + c], out.sample(raw.steps() - 4 + k, c));
      }
    }
  }
}

TEST_P(BandFilter, WritesNothingPastTheBlock) {
  std::mt19937 rng(3);
  for (size_t nchans : {1, 3, 5, 7, 9, 13, 15}) {
    Stream raw(nchans, 1);
    filter_test::fill_random(raw, rng);
    std::vector<uint8_t> out(raw.block_bytes + 64, 0xA5);
    FilterState state = coefficients({0.5f, 0.25f, 0, 0, 0}, {1, -0.5f, 0, 0, 0});
    kivo::filter_block_with(GetParam(), state, raw.block(0), out.data(), nchans, raw.nsamp);
    for (size_t i = raw.block_bytes; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << nchans << " channels";
  }
}

TEST_P(BandFilter, PassThroughAddsTheOffsetAndSaturates) {
  std::mt19937 rng(11);
  for (size_t nchans : {1, 6, 16}) {
    Stream raw(nchans, 1);
    filter_test::fill_random(raw, rng);
    const uint16_t edges[] = {0, 1, 32767, 32768, 65535};
    for (size_t i = 0; i < 5; ++i) raw.set_sample(100 + i, 0, edges[i]);
    expect_samples(coefficients({1, 0, 0, 0, 0}, {1, 0, 0, 0, 0}), raw, [&](size_t n, size_t c) {
      return static_cast<uint16_t>(std::min(int{raw.sample(n, c)} + 32767, 65535));
    });
  }
}

TEST_P(BandFilter, OneStepDelayReachesBackAcrossDatagramsAndBlocks) {
  std::mt19937 rng(13);
  for (size_t nchans : {1, 3, 8, 16}) {
    Stream raw(nchans, 2);
    filter_test::fill_random(raw, rng);
    FilterState start = coefficients({0, 1, 0, 0, 0}, {1, 0, 0, 0, 0});
    for (size_t i = 0; i < 4 * nchans; ++i) start.x_history[i] = static_cast<uint16_t>(rng());
    expect_samples(start, raw, [&](size_t n, size_t c) {
      const int before = n == 0 ? start.x_history[3 * nchans + c] : raw.sample(n - 1, c);
      return static_cast<uint16_t>(std::min(before + 32767, 65535));
    });
  }
}

TEST_P(BandFilter, FedBackOutputCountsUpToMidScaleAndStays) {
  for (size_t nchans : {1, 4, 16}) {
    Stream raw(nchans, 2);
    std::mt19937 rng(17);
    filter_test::fill_random(raw, rng);
    expect_samples(coefficients({0, 0, 0, 0, 0}, {1, -1, 0, 0, 0}), raw,
                   [](size_t n, size_t) { return static_cast<uint16_t>(std::min<size_t>(n + 1, 32767)); });
  }
}

// b0 * 1 is the whole sum before the 0.5 is added.
TEST_P(BandFilter, RoundsHalfUpTowardZeroAndStoresZeroForSumsOutOfRange) {
  const struct {
    float sum;
    uint16_t stored;
  } cases[] = {
      {2.5f, 32770},      {-0.7f, 32767},      {-1.2f, 32767},
      {-1.6f, 32766},     {-32767.5f, 0},      {-40000.0f, 0},
      {32767.5f, 65535},  {40000.0f, 65535},   {2147483520.0f, 65535},
      {2147483648.0f, 0}, {-2147483648.0f, 0}, {1e30f, 0},
      {kInf, 0},          {-kInf, 0},          {kNaN, 0},
  };
  for (const auto& k : cases) {
    for (size_t nchans : {1, 16}) {
      Stream raw(nchans, 1);
      for (size_t n = 0; n < raw.steps(); ++n) {
        for (size_t c = 0; c < nchans; ++c) raw.set_sample(n, c, 1);
      }
      expect_samples(coefficients({k.sum, 0, 0, 0, 0}, {1, 0, 0, 0, 0}), raw,
                     [&](size_t, size_t) { return k.stored; });
    }
  }
}

TEST_P(BandFilter, NaNInTheFeedbackStoresZero) {
  Stream raw(5, 1);
  std::mt19937 rng(19);
  filter_test::fill_random(raw, rng);
  expect_samples(coefficients({0.1f, 0.2f, 0, 0, 0}, {1, kNaN, 0, 0, 0}), raw,
                 [](size_t, size_t) { return uint16_t{0}; });
}

TEST_P(BandFilter, FirstDenominatorCoefficientIsIgnored) {
  std::mt19937 rng(23);
  for (size_t nchans : {2, 11}) {
    Stream raw(nchans, 1);
    fill_signal(raw, rng);
    Coefficients b{}, a{};
    stable_coefficients(rng, b, a);
    FilterState state;
    const Stream expected = filter(GetParam(), coefficients(b, a), raw, state);
    for (float a0 : {0.0f, -3.0f, 7.5f, kNaN}) {
      a[0] = a0;
      EXPECT_EQ(filter(GetParam(), coefficients(b, a), raw, state).bytes, expected.bytes) << "a0 = " << a0;
    }
  }
}

// Every lane count of every kernel, with lanes left over: gain-10 filters
// and the unstable and overflowing sets clip, and only the channels'
// outputs count, not those of lanes past the last channel.
TEST_P(BandFilter, CountsTheOutputsThatTheStoredRangeCannotHold) {
  std::mt19937 rng(29 + static_cast<int>(GetParam()));
  for (size_t nchans = 1; nchans <= 16; ++nchans) {
    SCOPED_TRACE("channels " + std::to_string(nchans));
    Stream raw(nchans, 1);
    fill_signal(raw, rng);
    Coefficients b{}, a{};
    if (nchans % 4 == 3) {
      wild_coefficients(rng, static_cast<int>(nchans / 4) % 2, b, a);
    } else {
      stable_coefficients(rng, b, a);
      for (float& tap : b) tap *= 10.0f;
    }
    const FilterState start = coefficients(b, a);
    FilterState state = start;
    Stream out(nchans, 1);
    uint64_t counted = 0;
    for (size_t k = 0; k < raw.nblocks; ++k) {
      counted += kivo::filter_block_with(GetParam(), state, raw.block(k), out.block(k), nchans, raw.nsamp);
    }
    expect_reference(raw, out, start);
    uint64_t expected = 0;
    for (size_t c = 0; c < nchans; ++c) {
      filter_test::reference_channel(channel(raw, c), b, a, {}, {}, &expected);
    }
    EXPECT_GT(expected, 0u);
    if (nchans % 4 != 3) {
      EXPECT_LT(expected, raw.steps() * nchans);  // some outputs in range too
    }
    EXPECT_EQ(counted, expected);
  }
}

// A recording's last block, closed part-way: the slots received are filtered
// as the whole block would filter them, their clipping alone is counted, and
// the stale slots after them are neither read into the count nor written.
TEST_P(BandFilter, APartialLastBlockFiltersItsSlotsAlone) {
  std::mt19937 rng(31);
  for (size_t nchans : {1, 5, 16}) {
    SCOPED_TRACE("channels " + std::to_string(nchans));
    Stream raw(nchans, 1);
    fill_signal(raw, rng);
    Coefficients b{}, a{};
    stable_coefficients(rng, b, a);
    for (float& tap : b) tap *= 10.0f;
    const FilterState start = coefficients(b, a);
    constexpr size_t kSlots = 377;
    FilterState whole_state = start, part_state = start;
    Stream whole(nchans, 1), part(nchans, 1);
    kivo::filter_block_with(GetParam(), whole_state, raw.block(0), whole.block(0), nchans, raw.nsamp);
    const uint64_t counted = kivo::filter_block_with(GetParam(), part_state, raw.block(0), part.block(0),
                                                     nchans, raw.nsamp, kSlots);
    const size_t steps = kSlots * raw.nsamp;
    uint64_t expected = 0;
    for (size_t c = 0; c < nchans; ++c) {
      std::vector<uint16_t> received = channel(raw, c);
      received.resize(steps);
      filter_test::reference_channel(received, b, a, {}, {}, &expected);
    }
    EXPECT_EQ(counted, expected);
    const size_t part_bytes = kSlots * raw.slot_bytes;
    EXPECT_TRUE(std::equal(part.bytes.begin(), part.bytes.begin() + part_bytes, whole.bytes.begin()));
    EXPECT_TRUE(std::all_of(part.bytes.begin() + part_bytes, part.bytes.end(),
                            [](uint8_t byte) { return byte == 0; }));
  }
}

INSTANTIATE_TEST_SUITE_P(EveryIsa, BandFilter, testing::ValuesIn(kivo::available_filter_isas()),
                         [](const testing::TestParamInfo<FilterIsa>& info) {
                           return std::string(kivo::filter_isa_name(info.param));
                         });

}  // namespace
