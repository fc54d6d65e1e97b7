// The acquisition under a slow or failing disk: nothing is lost in silence,
// nothing is torn, and acquisition goes on.
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <thread>

#include "support.h"

namespace kivo::testing {
namespace {

uint32_t index_of(const uint8_t* datagram) {
  uint32_t index = 0;
  for (int i = 0; i < 4; ++i) index |= uint32_t{datagram[2 + i]} << (8 * i);
  return index;
}

// Every slot of every block in the file holds a whole datagram of the
// sender's, and each datagram appears once, in the order sent.
void expect_blocks_in_order(const std::vector<uint8_t>& file, const kivo::Geometry& g) {
  const auto slot = static_cast<size_t>(g.stamped_slot_bytes);
  int64_t previous = -1;
  for (size_t k = 0; k < file.size() / slot; ++k) {
    const uint8_t* d = file.data() + k * slot + 8;
    ASSERT_TRUE(kivo::pattern_matches(d, g)) << "slot " << k;
    ASSERT_GT(int64_t{index_of(d)}, previous) << "slot " << k;
    previous = index_of(d);
  }
}

// The totals add up only where the system counts the datagrams it drops.
bool system_counts_drops() {
  kivo::net::UdpSocket probe;
  return probe.create() == 0 && probe.enable_drop_count();
}
constexpr const char* kNoDropCount = "the system keeps no count of the datagrams it drops";

TEST(SlowWriter, TheReceiverWaitsForItsHalfAndTheTotalsAddUp) {
  if (!system_counts_drops()) GTEST_SKIP() << kNoDropCount;
  TempDir dir("slow_writer");
  Printed printed;
  Acquisition state(printed.console());
  // A small socket buffer, so that the stalls make the kernel drop datagrams.
  state.set_receive_buffer_request(64 * 1024);
  std::atomic<bool> slow{true};
  state.set_before_write_hook([&] {
    if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(150));
  });
  const uint16_t port = free_udp_port();
  state.open(request(port, 2, dir.str()));
  Sender sender(port, 2);
  // Bursts far faster than the writer, until the receiver has waited for it
  // (one burst may not do on a loaded machine).
  int bursts = 0;
  ASSERT_TRUE(wait_until([&] {
    if (state.status().writer_stalls > 0) return true;
    if (bursts++ < 40) sender.send(2000);
    return false;
  }));
  slow = false;
  // Trailing datagrams, sent one by one once the writer has caught up, are
  // queued after every drop and so carry the kernel's final drop count.
  ASSERT_TRUE(wait_until([&] { return state.status().blocks_saved >= 2; }));
  for (int i = 0; i < 20; ++i) {
    sender.send(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(wait_until([&] {
    const auto s = state.status();
    return s.datagrams + s.kernel_drops >= sender.sent();
  }));
  const AcquisitionStatus s = state.status();
  state.close();

  EXPECT_EQ(s.datagrams + s.kernel_drops, sender.sent());
  EXPECT_GT(s.writer_stalls, 0U);
  if (s.kernel_drops > 0) {
    EXPECT_GT(s.sequence_gaps, 0U);
  }
  // A block handed over before 'close' is still written, so the file is
  // compared with the totals as 'close' left them.
  const auto file = read_file(state.raw_path());
  const kivo::Geometry geometry = kivo::make_geometry(2);
  EXPECT_EQ(file.size() / (geometry.stamped_slot_bytes * size_t{kivo::kSlotsPerBlock}),
            state.status().blocks_saved);
  expect_blocks_in_order(file, geometry);
  EXPECT_TRUE(printed.warned("the writer fell behind"));
}

// 'close' while the writer is stalled and the socket overflows with
// datagrams of another channel count: no datagram is left uncounted, though
// none arrives after the drops to carry their count; each one received
// (those still queued at 'close' too) counts as of a wrong size, and every
// one received is saved.
TEST(SlowWriter, CloseDuringAStallCountsEveryDatagramSent) {
  if (!system_counts_drops()) GTEST_SKIP() << kNoDropCount;
  TempDir dir("stalled_close");
  Printed printed;
  Acquisition state(printed.console());
  state.set_receive_buffer_request(64 * 1024);
  state.set_before_write_hook([] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); });
  const uint16_t port = free_udp_port();
  state.open(request(port, 2, dir.str()));
  Sender sender(port, 2);
  while (sender.sent() < 2000) {  // both halves filled, a little at a time
    sender.send(50);
    ASSERT_TRUE(wait_until([&] { return state.status().datagrams >= sender.sent(); }));
  }
  Sender wider(port, 8);
  wider.send(8000);  // the receiver waits for a half while these arrive
  state.close();

  const AcquisitionStatus s = state.status();
  const kivo::Geometry geometry = kivo::make_geometry(2);
  const uint64_t saved =
      read_file(state.raw_path()).size() / static_cast<size_t>(geometry.stamped_slot_bytes);
  RecordProperty("saved_dropped", std::to_string(saved) + " " + std::to_string(s.kernel_drops));
  EXPECT_GT(s.kernel_drops, 0U);
  EXPECT_GT(s.writer_stalls, 0U);
  EXPECT_EQ(s.datagrams_not_saved, 0U);
  EXPECT_EQ(saved, s.datagrams);
  EXPECT_EQ(saved + s.kernel_drops, sender.sent() + wider.sent());
  EXPECT_EQ(s.wrong_size_datagrams + s.kernel_drops, wider.sent());
  EXPECT_TRUE(printed.warned("the writer fell behind"));
  EXPECT_TRUE(printed.contains(" datagram(s) were dropped by the system"));
}

TEST(FullDisk, FailedWritesAreCountedReportedAndAcquisitionGoesOn) {
  TempDir dir("full_disk");
  Printed printed;
  Acquisition state(printed.console());
  const uint16_t port = free_udp_port();
  state.open(request(port, 1, dir.str()));
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 2550000;  // room for two and a half blocks
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

  Sender sender(port, 1);
  sender.send(4000);
  const bool handled = wait_until([&] {
    const auto s = state.status();
    return s.blocks_saved + s.write_errors >= 4;
  });
  const uint8_t* latest = state.read();  // 'read' keeps working
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(handled);
  ASSERT_NE(latest, nullptr);
  EXPECT_EQ(index_of(latest), 3999U);
  const AcquisitionStatus s = state.status();
  const std::string raw = state.raw_path();
  state.close();

  EXPECT_EQ(s.blocks_saved, 2U);
  EXPECT_EQ(s.write_errors, 2U);
  const auto file = read_file(raw);
  EXPECT_EQ(file.size(), 2040000U);  // the blocks written before stay whole
  expect_blocks_in_order(file, kivo::make_geometry(1));
  EXPECT_TRUE(printed.warned("2 block(s) could not be written to " + raw + " (File too large)"));
}

}  // namespace
}  // namespace kivo::testing
