// The acquisition engine against bad input and a vanishing sample folder, run
// in every build (and so under AddressSanitizer and UndefinedBehaviorSanitizer
// in the sanitizer build): kivosim's malformed datagrams - empty, cut short,
// over-long, random samples - from one sender and from two at once. Nothing
// is read or written out of bounds, and the counters, the file and
// kivoinspect's reading of it tell exactly what was sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "analysis.h"
#include "kivosim_run.h"
#include "recording.h"
#include "report.h"
#include "source.h"
#include "support.h"

namespace kivo::testing {
namespace {

// What one kivosim run sent to `port`, from its summary line.
kivo_test::KivosimSummary run_kivosim(uint16_t port, std::vector<std::string> options) {
  options.insert(options.begin(), {"--host", "127.0.0.1", "--port", std::to_string(port), "--quiet"});
  return kivo_test::parse_kivosim_summary(kivo_test::run_kivosim(options).out)
      .value_or(kivo_test::KivosimSummary{});
}

// The faults kivosim makes for `count` datagrams (numbered from 1): every
// 7th empty, else every 11th cut to half, else every 13th 64 bytes too long.
struct Faults {
  uint64_t empty = 0, cut = 0, too_long = 0;
};

Faults faults_of(uint64_t count) {
  Faults f;
  for (uint64_t n = 1; n <= count; ++n) {
    if (n % 7 == 0)
      ++f.empty;
    else if (n % 11 == 0)
      ++f.cut;
    else if (n % 13 == 0)
      ++f.too_long;
  }
  return f;
}

const std::vector<std::string> kMalformed{"--content",     "random", "--empty-every", "7",
                                          "--short-every", "11",     "--long-every",  "13",
                                          "--rate",        "20000"};

// Sends `per_sender` malformed datagrams from each of `senders` kivosims at
// once and checks what the acquisition made of them.
void check_malformed(uint32_t nchans, int senders, uint64_t per_sender) {
  TempDir dir("malformed_" + std::to_string(nchans) + "_" + std::to_string(senders));
  Printed printed;
  Acquisition state(printed.console());
  const uint16_t port = free_udp_port();
  state.open(request(port, nchans, dir.str()));
  std::vector<kivo_test::KivosimSummary> sent(static_cast<size_t>(senders));
  std::vector<std::thread> threads;
  for (int s = 0; s < senders; ++s) {
    std::vector<std::string> options = kMalformed;
    options.insert(options.end(),
                   {"--channels", std::to_string(nchans), "--count", std::to_string(per_sender), "--seed",
                    std::to_string(7 + s), "--start-seq", std::to_string(20000 * s)});
    threads.emplace_back([&, s, options] { sent[static_cast<size_t>(s)] = run_kivosim(port, options); });
  }
  for (auto& t : threads) t.join();
  const uint64_t attempts = per_sender * static_cast<uint64_t>(senders);
  ASSERT_TRUE(wait_until([&] {
    const auto s = state.status();
    return s.datagrams + s.failed_receives >= attempts && s.blocks_saved >= attempts / 1000;
  })) << "the acquisition did not take every datagram";
  const AcquisitionStatus s = state.status();
  const std::string raw = state.raw_path();
  state.close();

  const kivo::Geometry g = kivo::make_geometry(nchans);
  const auto size = static_cast<uint64_t>(g.datagram_size_bytes);
  const Faults f = faults_of(per_sender);
  const uint64_t empty = f.empty * static_cast<uint64_t>(senders);
  const uint64_t cut = f.cut * static_cast<uint64_t>(senders);
  const uint64_t too_long = f.too_long * static_cast<uint64_t>(senders);
  uint64_t sent_datagrams = 0, sent_bytes = 0;
  for (const auto& one : sent) {
    sent_datagrams += one.sent;
    sent_bytes += one.bytes;
  }
  ASSERT_EQ(sent_datagrams, attempts);
  EXPECT_EQ(sent_bytes,
            (attempts - empty - cut - too_long) * size + cut * (size / 2) + too_long * (size + 64));
  // Empty datagrams are failed receives; long ones are cut to the datagram size.
  EXPECT_EQ(s.failed_receives, empty);
  EXPECT_EQ(s.datagrams, attempts - empty);
  EXPECT_EQ(s.bytes, sent_bytes - too_long * 64);
  EXPECT_EQ(s.kernel_drops, 0U);
  EXPECT_EQ(s.wrong_size_datagrams, empty + cut + too_long);
  EXPECT_EQ(s.blocks_saved, attempts / 1000);
  EXPECT_EQ(s.write_errors, 0U);
  if (senders == 1) {
    EXPECT_EQ(s.sequence_gaps, empty);  // each empty datagram took a number
  }

  // The file: every attempt made a slot of a saved block; the slots an empty
  // datagram left unfilled are stale, and kivoinspect counts the same gaps.
  const std::vector<uint8_t> file = read_file(raw);
  ASSERT_EQ(file.size(), s.blocks_saved * static_cast<uint64_t>(g.stamped_block_bytes));
  const kivo::inspect::Layout layout = kivo::inspect::make_layout(kivo::FileKind::raw, nchans);
  const kivo::inspect::Summary summary =
      kivo::inspect::analyse(kivo::inspect::Slots(file.data(), file.size(), layout));
  EXPECT_EQ(summary.stale_slots, empty);
  EXPECT_EQ(summary.fresh_slots, s.datagrams);
  EXPECT_EQ(summary.gaps.count, s.sequence_gaps);
}

TEST(MalformedDatagrams, OneSenderSixteenChannels) { check_malformed(16, 1, 5000); }

TEST(MalformedDatagrams, OneSenderLargestDatagram) { check_malformed(15, 1, 3000); }

TEST(MalformedDatagrams, TwoSendersAtOnce) { check_malformed(8, 2, 3000); }

// A device that sends 8 channels to an acquisition told 4, and a few short
// datagrams: every one is counted and 'close' names the likely cause; the
// metadata and kivoinspect show the count, and a short datagram's slot holds
// zeros beyond what arrived, not the samples the slot held before.
TEST(WrongChannelCount, IsCountedWarnedRecordedAndShortSlotsAreZeroed) {
  TempDir dir("wrong_count");
  Printed printed;
  Acquisition state(printed.console());
  const uint16_t port = free_udp_port();
  state.open(request(port, 4, dir.str()));
  Sender right(port, 4);
  right.send(2000);  // both halves hold whole datagrams now
  ASSERT_TRUE(wait_until([&] { return state.status().blocks_saved == 2; }));
  Sender wrong(port, 8);
  wrong.send(997);
  auto cut = right.datagram(2000);
  cut.resize(600);
  for (int k = 0; k < 3; ++k) right.send_bytes(cut);
  ASSERT_TRUE(wait_until([&] { return state.status().blocks_saved == 3; }));
  const AcquisitionStatus s = state.status();
  const std::string raw = state.raw_path();
  state.close();

  EXPECT_EQ(s.wrong_size_datagrams, 1000U);
  EXPECT_EQ(s.failed_receives, 0U);
  EXPECT_TRUE(
      printed.warned("1000 datagram(s) of 1388 bytes arrived where 1012 bytes are "
                     "expected for 4 channels; check the channel count"));
  const std::vector<uint8_t> file = read_file(raw);
  const kivo::Geometry g = kivo::make_geometry(4);
  const auto slot = static_cast<size_t>(g.stamped_slot_bytes);
  ASSERT_EQ(file.size(), 3 * kivo::kSlotsPerBlock * slot);
  const uint8_t* last = file.data() + (3 * kivo::kSlotsPerBlock - 1) * slot + kivo::kStampBytes;
  EXPECT_EQ(std::memcmp(last, cut.data(), 600), 0);
  EXPECT_EQ(std::count(last + 600, last + g.datagram_size_bytes, 0), 412);

  kivo::inspect::Source source;
  ASSERT_EQ(kivo::inspect::open_source(raw, std::nullopt, std::nullopt, source), "");
  ASSERT_TRUE(source.metadata.has_value());
  EXPECT_EQ(source.metadata->totals.wrong_size_datagrams, 1000U);
  const kivo::inspect::Summary summary = kivo::inspect::analyse(source.slots());
  EXPECT_NE(kivo::inspect::summary_text(source, summary, {}).find(", 1000 wrong-size datagrams"),
            std::string::npos);
}

// The sample folder removed while the acquisition writes into it: the blocks
// go with it, and 'close' says so instead of leaving it silent.
TEST(VanishingFolder, CloseSaysTheBlocksAreLost) {
  TempDir dir("vanishing");
  const std::string folder = dir.str() + "/samples";
  std::filesystem::create_directories(folder);
  Printed printed;
  Acquisition state(printed.console());
  const uint16_t port = free_udp_port();
  state.open(request(port, 4, folder));
  Sender sender(port, 4);
  sender.send(2000);
  ASSERT_TRUE(wait_until([&] { return state.status().blocks_saved >= 2; }));
  std::filesystem::remove_all(folder);
  sender.send(1000);
  ASSERT_TRUE(wait_until([&] { return state.status().blocks_saved >= 3; }));
  const std::string raw = state.raw_path();
  state.close();
  EXPECT_TRUE(printed.warned(raw + " was removed while it was written; the 3 block(s) saved to it are lost"));
  EXPECT_TRUE(printed.warned("could not complete"));
}

// A sample file renamed while the acquisition writes into it keeps every
// block under its new name: 'close' says so, and speaks of no loss.
TEST(RenamedFile, CloseSaysWhereTheBlocksAreAndNothingIsLost) {
  TempDir dir("renamed");
  Printed printed;
  Acquisition state(printed.console());
  const uint16_t port = free_udp_port();
  state.open(request(port, 4, dir.str()));
  Sender sender(port, 4);
  sender.send(1000);
  ASSERT_TRUE(wait_until([&] { return state.status().blocks_saved >= 1; }));
  const std::string raw = state.raw_path();
  std::filesystem::rename(raw, dir.path() / "kept.dat");
  sender.send(1000);
  ASSERT_TRUE(wait_until([&] { return state.status().blocks_saved >= 2; }));
  state.close();
  EXPECT_TRUE(printed.warned(raw + " was renamed while it was written; the 2 block(s) saved to it are kept "
                                   "under its new name"));
  EXPECT_FALSE(printed.contains("lost"));
  EXPECT_EQ(std::filesystem::file_size(dir.path() / "kept.dat"), 2U * 1020000U);
}

}  // namespace
}  // namespace kivo::testing
