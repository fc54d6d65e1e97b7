#include "kivo/geometry.h"

#include <gtest/gtest.h>

namespace kivo {
namespace {

struct Row {
  uint32_t nchans;
  unsigned index;
  int32_t nsamp;
  int32_t datagram;
  int32_t slot;
  int32_t total;
  int32_t recorder_block;
};

// The whole geometry of every accepted channel count, and of 0.
constexpr Row kTable[] = {
    {0, 0, 500, 12, 20, 20000, 12000},         {1, 0, 500, 1012, 1020, 1020000, 1012000},
    {2, 1, 250, 1012, 1020, 1020000, 1012000}, {3, 1, 250, 1512, 1520, 1520000, 1512000},
    {4, 2, 125, 1012, 1020, 1020000, 1012000}, {5, 2, 125, 1262, 1270, 1270000, 1262000},
    {6, 2, 125, 1512, 1520, 1520000, 1512000}, {7, 2, 125, 1762, 1770, 1770000, 1762000},
    {8, 3, 86, 1388, 1396, 1396000, 1388000},  {9, 3, 86, 1560, 1568, 1568000, 1560000},
    {10, 3, 86, 1732, 1740, 1740000, 1732000}, {11, 3, 86, 1904, 1912, 1912000, 1904000},
    {12, 3, 86, 2076, 2084, 2084000, 2076000}, {13, 3, 86, 2248, 2256, 2256000, 2248000},
    {14, 3, 86, 2420, 2428, 2428000, 2420000}, {15, 3, 86, 2592, 2600, 2600000, 2592000},
    {16, 4, 43, 1388, 1396, 1396000, 1388000},
};

TEST(Geometry, MatchesTheTableForEveryAcceptedCountAndZero) {
  for (const Row& row : kTable) {
    SCOPED_TRACE(row.nchans);
    const Geometry g = make_geometry(row.nchans);
    EXPECT_EQ(table_index(row.nchans), row.index);
    EXPECT_EQ(g.nsamp, row.nsamp);
    EXPECT_EQ(g.datagram_size_bytes, row.datagram);
    EXPECT_EQ(g.stamped_slot_bytes, row.slot);
    EXPECT_EQ(g.stamped_block_bytes, row.total);
    EXPECT_EQ(g.recorder_block_bytes, row.recorder_block);
  }
}

TEST(Geometry, TableIndexIsTheHighestSetBit) {
  EXPECT_EQ(table_index(31), 4U);
  EXPECT_EQ(table_index(32), 5U);
  EXPECT_EQ(table_index(65535), 15U);
  EXPECT_EQ(table_index(65536), 16U);
  EXPECT_EQ(table_index(0xFFFFFFFFU), 31U);
  EXPECT_TRUE(has_table_entry(31));
  EXPECT_FALSE(has_table_entry(32));
}

TEST(Geometry, LargestDatagramIsFifteenChannels) {
  int32_t largest = 0;
  for (uint32_t n = kMinChannels; n <= kMaxChannels; ++n) {
    largest = std::max(largest, make_geometry(n).datagram_size_bytes);
  }
  EXPECT_EQ(largest, kLargestDatagramBytes);
  EXPECT_EQ(make_geometry(15).datagram_size_bytes, kLargestDatagramBytes);
}

}  // namespace
}  // namespace kivo
