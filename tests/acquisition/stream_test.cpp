// The acquisition engine receiving real datagrams over loopback: what reaches
// the raw file, and what 'read' and 'status' report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "kivo/clock.h"
#include "kivo/datagram.h"
#include "kivo/metadata.h"
#include "support.h"

namespace kivo::testing {
namespace {

double stamp_of(const uint8_t* slot) {
  double stamp = 0;
  std::memcpy(&stamp, slot, sizeof stamp);
  return stamp;
}

uint32_t index_of(const uint8_t* datagram) {
  uint32_t index = 0;
  for (int i = 0; i < 4; ++i) index |= uint32_t{datagram[2 + i]} << (8 * i);
  return index;
}

class Acquiring : public ::testing::Test {
 protected:
  Acquiring() : dir_("stream"), port_(free_udp_port()), state_(printed_.console()) {}

  void open(uint32_t nchans) {
    state_.open(request(port_, nchans, dir_.str()));
    sender_ = std::make_unique<Sender>(port_, nchans);
    geometry_ = kivo::make_geometry(nchans);
  }
  // The sizes of the open acquisition's datagram, stamped slot and block.
  size_t datagram_bytes() const { return static_cast<size_t>(geometry_.datagram_size_bytes); }
  size_t slot_bytes() const { return static_cast<size_t>(geometry_.stamped_slot_bytes); }
  size_t block_bytes() const { return slot_bytes() * kivo::kSlotsPerBlock; }
  bool wait_for_datagrams(uint64_t n) {
    return wait_until([&] { return state_.status().datagrams >= n; });
  }
  bool wait_for_blocks(uint64_t n) {
    return wait_until([&] {
      const auto s = state_.status();
      return s.blocks_saved + s.write_errors >= n;
    });
  }
  std::vector<uint8_t> raw_file() { return read_file(state_.raw_path()); }

  TempDir dir_;
  uint16_t port_;
  Printed printed_;
  Acquisition state_;
  std::unique_ptr<Sender> sender_;
  kivo::Geometry geometry_;
};

// 'close' in the middle of a block writes it as the last, partial block of
// both files; the metadata counts its slots.
TEST_F(Acquiring, SavesEveryDatagramSlotForSlotAndTheBlockInProgressAsAPartialLastBlock) {
  const double start = kivo::unix_time_seconds();
  OpenRequest passing = request(port_, 2, dir_.str());
  passing.with_filter = true;  // each filtered sample is its input plus 32767, saturated
  passing.b = passing.a = {1, 0, 0, 0, 0};
  state_.open(passing);
  sender_ = std::make_unique<Sender>(port_, 2);
  geometry_ = kivo::make_geometry(2);
  sender_->send(2500);
  ASSERT_TRUE(wait_for_datagrams(2500));
  ASSERT_TRUE(wait_for_blocks(2));
  state_.close();
  const double end = kivo::unix_time_seconds();

  const auto file = raw_file();
  const auto filtered = read_file(state_.filtered_path());
  ASSERT_EQ(file.size(), 2500 * slot_bytes());
  ASSERT_EQ(filtered.size(), file.size());
  const size_t slot = slot_bytes();
  double previous = start;
  for (uint32_t k = 0; k < 2500; ++k) {
    const uint8_t* s = file.data() + k * slot;
    ASSERT_GE(stamp_of(s), previous) << k;
    ASSERT_LE(stamp_of(s), end) << k;
    previous = stamp_of(s);
    ASSERT_EQ(std::memcmp(s + 8, sender_->datagram(k).data(), datagram_bytes()), 0) << "slot " << k;
    const uint8_t* f = filtered.data() + k * slot;
    ASSERT_EQ(std::memcmp(f, s, 8 + kivo::kHeaderBytes), 0) << "filtered slot " << k;
    for (size_t i = 0; i < geometry_.samples_per_datagram(); ++i) {
      ASSERT_EQ(kivo::sample_in_run(f + 8, i), std::min(kivo::sample_in_run(s + 8, i) + 32767, 65535)) << k;
    }
  }
  const auto status = state_.status();
  EXPECT_EQ(status.datagrams, 2500U);
  EXPECT_EQ(status.bytes, 2500U * datagram_bytes());
  EXPECT_EQ(status.blocks_saved, 2U);
  EXPECT_EQ(status.datagrams_not_saved, 0U);
  EXPECT_EQ(status.failed_receives + status.sequence_gaps + status.write_errors, 0U);
  for (const std::string& path : {state_.raw_path(), state_.filtered_path()}) {
    const kivo::Metadata m = kivo::parse_metadata_json(kivo_test::file_text(kivo::metadata_path_for(path)));
    EXPECT_EQ(m.totals.slots_written, 2500U) << path;
    EXPECT_EQ(m.totals.blocks_written, 2U) << path;
  }
}

TEST_F(Acquiring, ShortDatagramsKeepTheirSlotTailLongOnesAreCutEmptyOnesTakeNoSlot) {
  open(1);
  auto shortened = sender_->datagram(0);
  shortened.resize(500);
  auto lengthened = sender_->datagram(1);
  lengthened.resize(lengthened.size() + 64, 0xEE);
  sender_->send_bytes(shortened);
  sender_->send_bytes(lengthened);
  sender_->send_bytes({});
  sender_->send(998);  // indices 0..996: slots 2..998; 997 begins the next block
  ASSERT_TRUE(wait_for_blocks(1));
  ASSERT_TRUE(wait_for_datagrams(1000));
  const auto status = state_.status();
  state_.close();

  const auto file = raw_file();
  ASSERT_EQ(file.size(), block_bytes() + slot_bytes());  // 'close' saved the block begun
  EXPECT_EQ(std::memcmp(file.data() + block_bytes() + 8, sender_->datagram(997).data(), datagram_bytes()), 0);
  const uint8_t* slot0 = file.data() + 8;
  EXPECT_EQ(std::memcmp(slot0, shortened.data(), 500), 0);
  EXPECT_EQ(std::count(slot0 + 500, slot0 + datagram_bytes(), 0), 512);  // the tail kept its zeros
  EXPECT_EQ(std::memcmp(file.data() + slot_bytes() + 8, lengthened.data(), datagram_bytes()), 0);
  EXPECT_EQ(std::memcmp(file.data() + 2 * slot_bytes() + 8, sender_->datagram(0).data(), datagram_bytes()),
            0);
  EXPECT_EQ(status.failed_receives, 1U);  // the empty datagram used an attempt
  EXPECT_EQ(status.wrong_size_datagrams, 3U);
  EXPECT_EQ(status.bytes, 500U + datagram_bytes() + 998U * datagram_bytes());
}

TEST_F(Acquiring, ReadReturnsTheLatestDatagramPacedByTheUnreadCount) {
  open(4);
  EXPECT_EQ(state_.read(), nullptr);  // nothing received yet
  sender_->send(10);
  ASSERT_TRUE(wait_for_datagrams(10));
  for (int i = 0; i < 10; ++i) {
    const uint8_t* d = state_.read();
    ASSERT_NE(d, nullptr) << i;
    EXPECT_EQ(index_of(d), 9U);
  }
  EXPECT_EQ(state_.read(), nullptr);

  // A backlog is capped at one block: 1000 + 8000 / 1012 reads, then none;
  // 'samples' takes every datagram beside it and changes nothing of that.
  sender_->send(1500);
  ASSERT_TRUE(wait_for_datagrams(1510));
  EXPECT_EQ(state_.take_samples().count, 1510U);
  int reads = 0;
  while (const uint8_t* d = state_.read()) {
    EXPECT_EQ(index_of(d), 1509U);
    ++reads;
  }
  EXPECT_EQ(reads, 1007);
  EXPECT_EQ(state_.take_samples().count, 0U);
  state_.close();
  EXPECT_EQ(state_.read(), nullptr);
}

TEST_F(Acquiring, ReadStampIsTheStampSavedWithTheDatagramRead) {
  open(1);
  sender_->send(1000);
  ASSERT_TRUE(wait_for_datagrams(1000));
  ASSERT_TRUE(wait_for_blocks(1));
  const uint8_t* d = state_.read();
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(index_of(d), 999U);
  const double stamp = state_.read_stamp();
  state_.close();

  const kivo::Geometry g = kivo::make_geometry(1);
  const auto file = raw_file();
  ASSERT_EQ(file.size(), static_cast<size_t>(g.stamped_block_bytes));
  EXPECT_EQ(stamp, stamp_of(file.data() + 999 * static_cast<size_t>(g.stamped_slot_bytes)));
  EXPECT_GT(stamp, 0.0);
}

TEST_F(Acquiring, ReadNeverReturnsATornDatagramWhileTheReceiverRuns) {
  open(16);
  const kivo::Geometry g = kivo::make_geometry(16);
  std::atomic<bool> sent{false};
  std::thread sending([&] {
    sender_->send(20000);
    sent = true;
  });
  uint32_t last = 0;
  uint64_t checked = 0;
  std::string fault;
  while (!sent && fault.empty()) {
    const uint8_t* d = state_.read();
    if (d == nullptr) continue;
    const uint32_t index = index_of(d);
    if (!kivo::header_matches(d, static_cast<uint16_t>(index), index, 16) || !kivo::pattern_matches(d, g)) {
      fault = "torn datagram " + std::to_string(index);
    } else if (index < last) {
      fault = "datagram " + std::to_string(index) + " after " + std::to_string(last);
    }
    last = index;
    ++checked;
  }
  sending.join();
  EXPECT_EQ(fault, "");
  EXPECT_GT(checked, 0U);
  state_.close();
}

TEST_F(Acquiring, CloseUnderTrafficEndsAndWritesNothingAfterwards) {
  open(4);
  std::atomic<bool> sending{true};
  std::thread sender([&] {
    while (sending) sender_->send(100);
  });
  ASSERT_TRUE(wait_for_blocks(3));
  state_.close();
  const auto size_at_close = fs::file_size(state_.raw_path());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sending = false;
  sender.join();
  EXPECT_EQ(fs::file_size(state_.raw_path()), size_at_close);
  const auto file = raw_file();
  for (size_t k = 0; k < file.size() / slot_bytes(); ++k) {
    ASSERT_EQ(index_of(file.data() + k * slot_bytes() + 8), k) << "every datagram once, in order";
  }
}

// The time in a sample file's name, as seconds since 1970 (local time).
std::time_t name_time(const std::string& path) {
  std::tm t{};
  const std::string name = fs::path(path).filename().string();
  std::sscanf(name.c_str(), "%d-%d-%d_%d-%d-%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
              &t.tm_sec);
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

TEST_F(Acquiring, AReopenWithinTheSecondKeepsTheFirstRecordingAndTakesTheNextSecond) {
  open(1);
  sender_->send(1000);
  ASSERT_TRUE(wait_for_blocks(1));
  state_.close();
  const std::string first = state_.raw_path();
  const auto recorded = raw_file();
  ASSERT_EQ(recorded.size(), block_bytes());

  open(1);
  const std::string second = state_.raw_path();
  state_.close();
  EXPECT_EQ(read_file(first), recorded);
  EXPECT_GT(name_time(second), name_time(first));
}

TEST_F(Acquiring, SlotsNotFilledAfterAReopenHoldNoBytesOfTheEarlierAcquisition) {
  open(1);
  sender_->send(2000);  // both halves full of the first acquisition's datagrams
  ASSERT_TRUE(wait_for_blocks(2));
  state_.close();

  open(1);
  sender_->send(1);
  for (int k = 0; k < 999; ++k) sender_->send_bytes({});  // failed receives: slots 1..999 stay unfilled
  ASSERT_TRUE(wait_for_blocks(1));
  state_.close();
  const auto file = raw_file();
  ASSERT_EQ(file.size(), block_bytes());
  EXPECT_EQ(std::memcmp(file.data() + 8, sender_->datagram(0).data(), datagram_bytes()), 0);
  EXPECT_EQ(std::count(file.begin() + static_cast<std::ptrdiff_t>(slot_bytes()), file.end(), 0),
            static_cast<std::ptrdiff_t>(999 * slot_bytes()));
}

}  // namespace
}  // namespace kivo::testing
