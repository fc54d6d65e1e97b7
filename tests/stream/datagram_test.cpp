#include "kivo/datagram.h"

#include <gtest/gtest.h>

#include <vector>

#include "kivo/encoder.h"

namespace kivo {
namespace {

TEST(Datagram, SequenceNumberIsLittleEndianAtBytes10And11) {
  std::vector<uint8_t> d(12, 0);
  d[10] = 0x34;
  d[11] = 0x12;
  EXPECT_EQ(sequence_number(d.data()), 4660);
  d[10] = d[11] = 0xFF;
  EXPECT_EQ(sequence_number(d.data()), 65535);
}

TEST(Datagram, TwoChannelSamplesRunTimeStepByTimeStep) {
  const Geometry g = make_geometry(2);
  std::vector<uint8_t> d(static_cast<size_t>(g.datagram_size_bytes), 0);
  for (size_t i = 0; i < g.samples_per_datagram(); ++i) {
    store_u16le(d.data() + kHeaderBytes + 2 * i, static_cast<uint16_t>(i));
  }
  EXPECT_EQ(sample_at(d.data(), 2, 0, 0), 0);
  EXPECT_EQ(sample_at(d.data(), 2, 1, 0), 1);
  EXPECT_EQ(sample_at(d.data(), 2, 0, 1), 2);
  // Channel 1 at time step 249 is the last value, at bytes 1010-1011.
  store_u16le(d.data() + 1010, 0xBEEF);
  EXPECT_EQ(sample_at(d.data(), 2, 1, 249), 0xBEEF);
}

TEST(Encoder, PatternDatagramsCarryHeaderSequenceAndVerifiableSamples) {
  for (uint32_t nchans : {1U, 3U, 8U, 15U, 16U}) {
    SCOPED_TRACE(nchans);
    const Geometry g = make_geometry(nchans);
    DatagramEncoder encoder(g, SampleContent::pattern);
    std::vector<uint8_t> d(static_cast<size_t>(g.datagram_size_bytes));
    encoder.encode(d.data(), 65535, 70000);
    EXPECT_EQ(sequence_number(d.data()), 65535);
    EXPECT_TRUE(header_matches(d.data(), 65535, 70000, nchans));
    EXPECT_FALSE(header_matches(d.data(), 65534, 70000, nchans));
    EXPECT_TRUE(pattern_matches(d.data(), g));
    d[d.size() - 1] ^= 1;  // the last sample of the last channel
    EXPECT_FALSE(pattern_matches(d.data(), g));
  }
}

TEST(Encoder, SineSamplesStayInRangeAndDifferBetweenChannels) {
  const Geometry g = make_geometry(4);
  DatagramEncoder encoder(g, SampleContent::sine);
  std::vector<uint8_t> d(static_cast<size_t>(g.datagram_size_bytes));
  double sum[4] = {};
  for (uint32_t i = 0; i < 200; ++i) {
    encoder.encode(d.data(), static_cast<uint16_t>(i), i);
    for (size_t t = 0; t < static_cast<size_t>(g.nsamp); ++t) {
      for (size_t c = 0; c < 4; ++c) sum[c] += sample_at(d.data(), 4, c, t);
    }
  }
  // Mid-scale on average, whatever the frequency.
  for (double s : sum) EXPECT_NEAR(s / (200.0 * g.nsamp), 32768.0, 600.0);
  EXPECT_NE(sample_at(d.data(), 4, 0, 10), sample_at(d.data(), 4, 3, 10));
}

}  // namespace
}  // namespace kivo
