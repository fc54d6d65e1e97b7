// The recorder's pieces on their own: the channel count, the block ring
// between receiver and writer, the writer giving up, and the stop that wakes
// a blocked receive.
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "block_ring.h"
#include "block_writer.h"
#include "channel_count.h"
#include "kivo/udp_socket.h"
#include "stop_control.h"

namespace kivo::recorder {
namespace {

TEST(ChannelCount, TakesDecimalCountsFromOneToSixteen) {
  EXPECT_EQ(parse_channel_count("1"), 1);
  EXPECT_EQ(parse_channel_count("16"), 16);
  EXPECT_EQ(parse_channel_count(" 8"), 8);
  EXPECT_EQ(parse_channel_count("+8"), 8);
  EXPECT_EQ(parse_channel_count("8\n"), 8);
  for (const char* text : {"abc", "0", "17", "-3", "8x", "", " ", "3.5", "0x8", "99999999999999999999999"}) {
    EXPECT_EQ(parse_channel_count(text), std::nullopt) << "'" << text << "'";
  }
}

TEST(BlockRing, WriterGetsBlocksInOrderThenNothingOnceClosedAndDrained) {
  BlockRing ring(10, 4);
  for (uint8_t b = 1; b <= 3; ++b) {
    std::memset(ring.filling(), b, 10);
    ASSERT_TRUE(ring.hand_over(b == 3 ? 4 : 10));  // the last one partial
  }
  ring.close();
  for (uint8_t b = 1; b <= 3; ++b) {
    const auto block = ring.take();
    ASSERT_TRUE(block);
    EXPECT_EQ(block->number, b);
    EXPECT_EQ(block->bytes, b == 3 ? 4u : 10u);
    EXPECT_EQ(block->data[0], b);
    ring.release();
  }
  EXPECT_FALSE(ring.take());
}

TEST(BlockRing, FullRingDropsTheNewBlockInsteadOfOverwritingAnUnwrittenOne) {
  BlockRing ring(10, 2);
  std::memset(ring.filling(), 1, 10);
  ASSERT_TRUE(ring.hand_over(10));
  uint8_t* const second = ring.filling();
  std::memset(second, 2, 10);
  EXPECT_FALSE(ring.hand_over(10));  // block 1 not written yet
  EXPECT_EQ(ring.dropped(), 1u);
  EXPECT_EQ(ring.filling(), second);  // filled again in place

  const auto first = ring.take();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->data[0], 1);  // untouched by the dropped block
  ring.release();
  EXPECT_TRUE(ring.hand_over(10));
  const auto third = ring.take();
  ASSERT_TRUE(third);
  EXPECT_EQ(third->number, 3u);  // numbers count the dropped block too
}

TEST(BlockRing, EveryBlockTheWriterGetsIsWholeAndInOrderUnderConcurrency) {
  constexpr size_t kBytes = 4096;
  constexpr uint64_t kBlocks = 3000;
  BlockRing ring(kBytes, 3);
  std::thread receiver([&] {
    for (uint64_t n = 1; n <= kBlocks; ++n) {
      std::memset(ring.filling(), static_cast<int>(n & 0xFF), kBytes);
      ring.hand_over(kBytes);
    }
    ring.close();
  });
  uint64_t written = 0;
  uint64_t last = 0;
  bool whole = true;
  while (const auto block = ring.take()) {
    const auto mark = static_cast<uint8_t>(block->number & 0xFF);
    for (size_t i = 0; i < kBytes; ++i) whole = whole && block->data[i] == mark;
    EXPECT_GT(block->number, last);
    last = block->number;
    ++written;
    ring.release();
  }
  receiver.join();
  EXPECT_TRUE(whole) << "a block was refilled while the writer held it";
  EXPECT_EQ(written + ring.dropped(), kBlocks);
}

// A socket that nothing is sent to: a receive on it blocks until woken.
// The recorder counts the blocks still waiting in blocks_lost: they must not
// vanish from the ring when the writer gives up.
TEST(BlockWriter, AFailedWriteLeavesTheLaterBlocksWaitingInTheRing) {
  RecordingFile full;
  if (full.create("/dev/full", FileMode::create_or_truncate, 16) != 0) GTEST_SKIP() << "no /dev/full here";
  BlockRing ring(16, 8);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ring.hand_over(16));
  StopControl control;
  ConsoleOutput console;
  ConsolePrinter printer(console);
  BlockWriter writer(full, ring, control, printer);
  ASSERT_EQ(writer.start(), 0);
  ring.close();
  writer.join();
  EXPECT_NE(writer.error(), 0);
  EXPECT_TRUE(control.aborted());
  EXPECT_EQ(ring.waiting(), 2u);
}

net::UdpSocket quiet_socket() {
  net::UdpSocket socket;
  EXPECT_EQ(socket.create(), 0);
  EXPECT_EQ(socket.bind_any(0), 0);
  return socket;
}

TEST(StopControl, ConsoleStopCutsABlockedReceiveAfterTheGrace) {
  StopControl control;
  net::UdpSocket socket = quiet_socket();
  control.attach(socket);
  std::thread console([&] { control.console_stop(std::chrono::milliseconds(50), [] {}); });
  uint8_t slot[16];
  const net::Received received = socket.receive(slot, sizeof slot);  // woken by the cut
  EXPECT_EQ(received.length, 0);
  EXPECT_TRUE(control.stop_requested());
  EXPECT_TRUE(control.cut_short());
  control.detach();
  control.mark_ended();
  console.join();
}

TEST(StopControl, AbortBeforeTheSocketIsAttachedStillWakesTheReceive) {
  StopControl control;
  control.abort();
  net::UdpSocket socket = quiet_socket();
  control.attach(socket);
  uint8_t slot[16];
  EXPECT_EQ(socket.receive(slot, sizeof slot).length, 0);
  EXPECT_TRUE(control.aborted());
  EXPECT_TRUE(control.cut_short());
}

// The console stop returns at once; the loop's end stops the watch, which
// mark_ended() joins (an end the watch missed would hold that join for the
// whole quiet hour), and the block was not cut short.
TEST(StopControl, ConsoleStopReturnsWithoutCuttingWhenTheLoopEndsInTime) {
  StopControl control;
  std::thread console([&] { control.console_stop(std::chrono::hours(1), [] {}); });
  console.join();
  EXPECT_TRUE(control.stop_requested());
  control.mark_ended();
  EXPECT_FALSE(control.cut_short());
}

}  // namespace
}  // namespace kivo::recorder
