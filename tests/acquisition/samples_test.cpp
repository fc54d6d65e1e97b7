// 'samples' of the acquisition engine: every datagram handed over once, in
// order, with its place and time on the sample clock; an exact count of what
// a caller that fell behind missed; and waits that end on arrival or 'close'.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "kivo/datagram.h"
#include "kivo/shared_clock.h"
#include "support.h"

namespace kivo::testing {
namespace {

uint32_t index_of(const uint8_t* slot) {
  uint32_t index = 0;
  for (int i = 0; i < 4; ++i) index |= uint32_t{slot[kivo::kStampBytes + 2 + i]} << (8 * i);
  return index;
}

double stamp_of(const uint8_t* slot) {
  double stamp = 0;
  std::memcpy(&stamp, slot, sizeof stamp);
  return stamp;
}

// What the takes of a run handed over, one after the other.
struct Collected {
  std::vector<uint8_t> slots;
  std::vector<int64_t> first_samples;
  std::vector<double> first_row_times;
  uint64_t missed = 0;

  void add(Acquisition& state) {
    const kivo::TakenDatagrams taken = state.take_samples();
    const kivo::ClockLines lines = state.clock_lines();
    const size_t slot_bytes = static_cast<size_t>(state.datagram_size()) + kivo::kStampBytes;
    slots.insert(slots.end(), taken.slots, taken.slots + taken.count * slot_bytes);
    first_samples.insert(first_samples.end(), taken.first_samples, taken.first_samples + taken.count);
    for (size_t d = 0; d < taken.count; ++d) first_row_times.push_back(lines.time_of(taken.first_samples[d]));
    missed += taken.missed;
  }
};

TEST(Samples, HandOverEveryDatagramOnceInOrderWithItsPlaceAndTime) {
  TempDir dir("samples");
  Acquisition state(ignore_messages);
  const uint16_t port = free_udp_port();
  state.open(request(port, 4, dir.str()));
  const size_t slot_bytes = static_cast<size_t>(state.datagram_size()) + kivo::kStampBytes;
  EXPECT_EQ(state.take_samples().count, 0U);  // nothing yet: no datagrams, not an error
  Sender sender(port, 4);
  Collected got;
  sender.send(1);
  ASSERT_TRUE(wait_until([&] { return state.status().datagrams == 1; }));
  got.add(state);
  ASSERT_EQ(got.first_samples.size(), 1U);
  EXPECT_TRUE(std::isnan(got.first_row_times[0]));  // one datagram fixes no rate

  // Taken while the receiver fills its halves and the saver fills the ring,
  // then the rest; 'close' writes the block in progress, and hands nothing
  // more over.
  std::atomic<bool> sent{false};
  std::thread sending([&] {
    sender.send(3499);
    sent = true;
  });
  while (!sent) got.add(state);
  sending.join();
  ASSERT_TRUE(wait_until([&] { return state.status().datagrams == 3500; }));
  got.add(state);
  state.close();
  EXPECT_EQ(state.take_samples().count, 0U);

  EXPECT_EQ(got.missed, 0U);
  EXPECT_EQ(got.slots, read_file(state.raw_path()));  // 3.5 blocks: the last one written at 'close'
  ASSERT_EQ(got.first_samples.size(), 3500U);
  const int64_t nsamp = state.samples_per_channel();
  size_t wrong = 0;
  for (size_t d = 0; d < 3500; ++d) {
    const uint8_t* slot = got.slots.data() + d * slot_bytes;
    wrong += index_of(slot) != d || got.first_samples[d] != static_cast<int64_t>(d) * nsamp;
    // The line lies under every stamp; a datagram fitted before a rate was known has none.
    const double t = got.first_row_times[d];
    if (d > 0) wrong += !(t <= stamp_of(slot) + 2e-6 && t > stamp_of(slot) - 1.0);
  }
  EXPECT_EQ(wrong, 0U);
}

TEST(Samples, ACallerBehindTheRingMissesAnExactCountAndGoesOnWithoutAHole) {
  TempDir dir("samples_behind");
  Acquisition state(ignore_messages);
  state.set_samples_ring_blocks(2);
  const uint16_t port = free_udp_port();
  state.open(request(port, 1, dir.str()));
  Sender sender(port, 1);
  sender.send(6500);
  ASSERT_TRUE(wait_until([&] {
    const auto s = state.status();
    return s.datagrams == 6500 && s.blocks_saved == 6;
  }));
  // The ring keeps blocks 4 and 5; block 6 is in progress.
  Collected late;
  late.add(state);
  EXPECT_EQ(late.missed, 4000U);
  ASSERT_EQ(late.first_samples.size(), 2500U);
  sender.send(700);
  ASSERT_TRUE(wait_until([&] { return state.status().datagrams == 7200; }));
  late.add(state);
  ASSERT_EQ(late.first_samples.size(), 3200U);
  const size_t slot_bytes = static_cast<size_t>(state.datagram_size()) + kivo::kStampBytes;
  size_t out_of_place = 0;
  for (size_t d = 0; d < 3200; ++d) out_of_place += index_of(late.slots.data() + d * slot_bytes) != 4000 + d;
  EXPECT_EQ(out_of_place, 0U);
  EXPECT_EQ(state.status().samples_missed, 4000U);
  state.close();
}

TEST(ClockLines, TimesComeFromTheSegmentThatHoldsTheSample) {
  SharedClockLines shared;
  shared.reset();
  EXPECT_TRUE(std::isnan(shared.read().time_of(0)));
  ClockSegment a{0, 999, 100.0, 1000.0};
  shared.publish(a);
  a.last_sample = 4999;
  shared.publish(a);  // the same line, longer
  shared.publish(ClockSegment{10000, 10999, 200.0, 2000.0});
  const ClockLines two = shared.read();
  EXPECT_DOUBLE_EQ(two.time_of(4000), 104.0);   // the previous segment, as far as it went
  EXPECT_DOUBLE_EQ(two.time_of(12000), 206.0);  // the current one
  EXPECT_TRUE(std::isnan(two.time_of(6000)));   // between them
  shared.publish(ClockSegment{20000, 20042, kNoTime, kNoTime});
  const ClockLines three = shared.read();
  EXPECT_TRUE(std::isnan(three.time_of(4000)));  // older than the previous segment
  EXPECT_DOUBLE_EQ(three.time_of(10500), 205.25);
  EXPECT_TRUE(std::isnan(three.time_of(20000)));  // no rate yet
}

TEST(Waiting, AWaitEndsWhenADatagramArrivesAndWhenCloseBegins) {
  TempDir dir("waiting");
  Acquisition state(ignore_messages);
  const uint16_t port = free_udp_port();
  state.open(request(port, 16, dir.str()));
  const auto far = ArrivalSignal::Clock::now() + std::chrono::seconds(600);
  std::atomic<int> outcome{-1};
  std::thread samples_waiter([&, mark = state.wait_mark()] { outcome = state.wait_for_samples(mark, far); });
  Sender(port, 16).send(1);
  EXPECT_TRUE(wait_until([&] { return outcome != -1; }, std::chrono::seconds(20)));
  samples_waiter.join();
  EXPECT_EQ(outcome, 1);

  while (state.read() != nullptr) {
  }
  outcome = -1;
  std::thread read_waiter([&, mark = state.wait_mark()] { outcome = state.wait_for_read(mark, far); });
  state.close();
  EXPECT_TRUE(wait_until([&] { return outcome != -1; }, std::chrono::seconds(20)));
  read_waiter.join();
  EXPECT_EQ(outcome, 0);
}

}  // namespace
}  // namespace kivo::testing
