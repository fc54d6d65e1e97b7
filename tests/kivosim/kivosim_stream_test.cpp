// The datagrams kivosim sends: sizes, layout, sequence numbers and faults, as a
// receiver on loopback sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "kivo/clock.h"
#include "kivo/datagram.h"
#include "kivo/encoder.h"
#include "kivo/geometry.h"
#include "kivosim_harness.h"
#include "scratch_folder.h"

namespace kivosim_test {
namespace {

// Slow enough that loopback never drops, fast enough to keep tests short.
const std::string kTestRate = "2000";

std::vector<uint8_t> expected_pattern_datagram(uint32_t nchans, uint16_t seq, uint32_t index) {
  const kivo::Geometry geometry = kivo::make_geometry(nchans);
  std::vector<uint8_t> datagram(static_cast<size_t>(geometry.datagram_size_bytes));
  kivo::DatagramEncoder(geometry, kivo::SampleContent::pattern).encode(datagram.data(), seq, index);
  return datagram;
}

TEST(kivosimStream, PatternDatagramsArriveWholeAndTheirSequenceWrapsAfter65535) {
  LoopbackReceiver receiver;
  const size_t count = 200;
  const Collected got = run_and_collect(receiver,
                                        {"--channels", "16", "--content", "pattern", "--count", "200",
                                         "--start-seq", "65450", "--rate", kTestRate, "--quiet"},
                                        count);
  ASSERT_EQ(got.finished.status, 0) << got.finished.err;
  ASSERT_EQ(got.datagrams.size(), count);
  const kivo::Geometry geometry = kivo::make_geometry(16);
  for (size_t i = 0; i < count; ++i) {
    const std::vector<uint8_t>& d = got.datagrams[i];
    const auto seq = static_cast<uint16_t>(65450 + i);
    ASSERT_EQ(d.size(), size_t(geometry.datagram_size_bytes)) << "datagram " << i;
    EXPECT_TRUE(kivo::header_matches(d.data(), seq, static_cast<uint32_t>(i), 16)) << "datagram " << i;
    EXPECT_TRUE(kivo::pattern_matches(d.data(), geometry)) << "datagram " << i;
  }
  EXPECT_EQ(kivo::sequence_number(got.datagrams[85].data()), 65535);
  EXPECT_EQ(kivo::sequence_number(got.datagrams[86].data()), 0);

  const auto summary = parse_summary(got.finished.out);
  ASSERT_TRUE(summary) << got.finished.out;
  EXPECT_EQ(summary->sent, count);
  EXPECT_EQ(summary->bytes, count * geometry.datagram_size_bytes);
  EXPECT_EQ(summary->skipped, 0u);
  EXPECT_EQ(got.finished.err, "") << "--quiet prints no progress";
}

TEST(kivosimStream, DatagramSizeFollowsTheChannelCount) {
  for (uint32_t nchans : {1u, 3u, 7u, 8u, 15u}) {
    LoopbackReceiver receiver;
    const Collected got = run_and_collect(receiver,
                                          {"--channels", std::to_string(nchans), "--content", "pattern",
                                           "--count", "3", "--rate", kTestRate, "--quiet"},
                                          3);
    ASSERT_EQ(got.finished.status, 0) << got.finished.err;
    ASSERT_EQ(got.datagrams.size(), 3u) << nchans << " channels";
    const kivo::Geometry geometry = kivo::make_geometry(nchans);
    for (const auto& d : got.datagrams) {
      ASSERT_EQ(d.size(), static_cast<size_t>(geometry.datagram_size_bytes)) << nchans << " channels";
      EXPECT_TRUE(kivo::pattern_matches(d.data(), geometry)) << nchans << " channels";
    }
  }
}

TEST(kivosimStream, SkippedSequenceNumbersAreNeverSentAndAreCounted) {
  LoopbackReceiver receiver;
  const size_t count = 50;
  const Collected got =
      run_and_collect(receiver,
                      {"--channels", "4", "--content", "pattern", "--count", "50", "--start-seq", "65530",
                       "--skip-every", "7", "--rate", kTestRate, "--quiet"},
                      count);
  ASSERT_EQ(got.finished.status, 0) << got.finished.err;
  ASSERT_EQ(got.datagrams.size(), count);
  // After datagrams 7, 14, ... 49 one number is left out; the header's running
  // index counts the numbers, so it jumps with them.
  for (size_t i = 0; i < count; ++i) {
    const auto used = static_cast<uint32_t>(i + i / 7);
    const auto seq = static_cast<uint16_t>(65530 + used);
    EXPECT_TRUE(kivo::header_matches(got.datagrams[i].data(), seq, used, 4)) << "datagram " << i;
    EXPECT_TRUE(kivo::pattern_matches(got.datagrams[i].data(), kivo::make_geometry(4))) << "datagram " << i;
  }
  const auto summary = parse_summary(got.finished.out);
  ASSERT_TRUE(summary) << got.finished.out;
  EXPECT_EQ(summary->sent, count);
  EXPECT_EQ(summary->skipped, 7u) << "the skip after the last datagram never happens";
}

TEST(kivosimStream, FaultsGiveThePromisedSizesAndOneFaultPerDatagram) {
  LoopbackReceiver receiver;
  const size_t count = 60;
  const Collected got =
      run_and_collect(receiver,
                      {"--channels", "8", "--content", "pattern", "--count", "60", "--empty-every", "5",
                       "--short-every", "3", "--long-every", "4", "--rate", kTestRate, "--quiet"},
                      count);
  ASSERT_EQ(got.finished.status, 0) << got.finished.err;
  ASSERT_EQ(got.datagrams.size(), count);
  uint64_t bytes = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t n = i + 1;
    const std::vector<uint8_t>& d = got.datagrams[i];
    const std::vector<uint8_t> whole =
        expected_pattern_datagram(8, static_cast<uint16_t>(i), static_cast<uint32_t>(i));
    bytes += d.size();
    if (n % 5 == 0) {
      EXPECT_EQ(d.size(), 0u) << "datagram " << n;
    } else if (n % 3 == 0) {
      ASSERT_EQ(d.size(), whole.size() / 2) << "datagram " << n;
      EXPECT_TRUE(std::equal(d.begin(), d.end(), whole.begin()))
          << "a short datagram is the head of a whole one";
    } else if (n % 4 == 0) {
      ASSERT_EQ(d.size(), whole.size() + 64u) << "datagram " << n;
      EXPECT_TRUE(std::equal(whole.begin(), whole.end(), d.begin())) << "datagram " << n;
      EXPECT_TRUE(std::all_of(d.begin() + static_cast<std::ptrdiff_t>(whole.size()), d.end(),
                              [](uint8_t b) { return b == 0xEE; }));
    } else {
      EXPECT_EQ(d, whole) << "datagram " << n;
    }
  }
  const auto summary = parse_summary(got.finished.out);
  ASSERT_TRUE(summary) << got.finished.out;
  EXPECT_EQ(summary->sent, count) << "faulty datagrams count as sent";
  EXPECT_EQ(summary->bytes, bytes);
}

TEST(kivosimStream, RandomContentKeepsTheHeaderAndRepeatsForTheSameSeed) {
  auto collect = [](const std::string& seed) {
    LoopbackReceiver receiver;
    Collected got = run_and_collect(receiver,
                                    {"--channels", "3", "--content", "random", "--seed", seed, "--count",
                                     "20", "--start-seq", "9", "--rate", kTestRate, "--quiet"},
                                    20);
    EXPECT_EQ(got.finished.status, 0) << got.finished.err;
    EXPECT_EQ(got.datagrams.size(), 20u);
    return got.datagrams;
  };
  const auto first = collect("5");
  const auto again = collect("5");
  const auto other = collect("6");
  ASSERT_EQ(first.size(), 20u);
  const kivo::Geometry geometry = kivo::make_geometry(3);
  for (size_t i = 0; i < first.size(); ++i) {
    ASSERT_EQ(first[i].size(), 1512u);
    EXPECT_TRUE(
        kivo::header_matches(first[i].data(), static_cast<uint16_t>(9 + i), static_cast<uint32_t>(i), 3));
    EXPECT_FALSE(kivo::pattern_matches(first[i].data(), geometry));
  }
  EXPECT_NE(first[0], first[1]);
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
}

TEST(kivosimStream, SineSamplesSwingAroundMidScaleOnEveryChannel) {
  LoopbackReceiver receiver;
  // 40 datagrams of 250 samples at 400 datagrams/s span 0.1 s: four periods of channel 0's 43 Hz.
  const Collected got =
      run_and_collect(receiver, {"--channels", "2", "--count", "40", "--rate", "400", "--quiet"}, 40);
  ASSERT_EQ(got.finished.status, 0) << got.finished.err;
  ASSERT_EQ(got.datagrams.size(), 40u);
  for (size_t ch = 0; ch < 2; ++ch) {
    uint16_t low = 65535, high = 0;
    for (const auto& d : got.datagrams) {
      ASSERT_EQ(d.size(), 1012u);
      for (size_t t = 0; t < 250; ++t) {
        low = std::min(low, kivo::sample_at(d.data(), 2, ch, t));
        high = std::max(high, kivo::sample_at(d.data(), 2, ch, t));
      }
    }
    EXPECT_LT(low, 32768 - 5000) << "channel " << ch;
    EXPECT_GT(high, 32768 + 5000) << "channel " << ch;
  }
}

struct LoggedSend {
  unsigned sequence = 0;
  int64_t due_ns = 0;
  int64_t sent_ns = 0;
};

// "<seq> <s>.<9 digits> <s>.<9 digits>" a line.
std::vector<LoggedSend> read_send_log(const std::string& path) {
  std::vector<LoggedSend> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    LoggedSend l;
    int64_t due_s = 0, due_frac = 0, sent_s = 0, sent_frac = 0;
    int end = -1;
    EXPECT_EQ(std::sscanf(line.c_str(), "%u %" SCNd64 ".%9" SCNd64 " %" SCNd64 ".%9" SCNd64 "%n", &l.sequence,
                          &due_s, &due_frac, &sent_s, &sent_frac, &end),
              5)
        << line;
    EXPECT_EQ(static_cast<size_t>(end), line.size()) << line;
    l.due_ns = due_s * 1'000'000'000 + due_frac;
    l.sent_ns = sent_s * 1'000'000'000 + sent_frac;
    lines.push_back(l);
  }
  return lines;
}

// Every datagram sent has its line: its slot on the schedule (on the clock
// receivers stamp with) and when it left, which a stall holds to the stall's
// end and jitter delays, without reordering.
TEST(kivosimStream, StallsAndJitterDelayTheSendsButNotTheScheduleThatTheSendLogRecords) {
  kivo_test::TempDir folder("kivosim_send_log");
  const std::string log = (folder.path() / "sent.txt").string();
  LoopbackReceiver receiver;
  const int64_t before_ns = kivo::unix_time_nanoseconds();
  const Collected got = run_and_collect(
      receiver,
      {"--channels", "16", "--content", "pattern", "--count", "300", "--start-seq", "65500", "--rate", "1000",
       "--stall-every", "0.1", "--stall-ms", "30", "--jitter-us", "50", "--send-log", log, "--quiet"},
      300);
  const int64_t after_ns = kivo::unix_time_nanoseconds();
  ASSERT_EQ(got.finished.status, 0) << got.finished.err;
  ASSERT_EQ(got.datagrams.size(), 300u);

  const std::vector<LoggedSend> sends = read_send_log(log);
  ASSERT_EQ(sends.size(), 300u);
  EXPECT_GE(sends.front().due_ns, before_ns);
  EXPECT_LE(sends.back().sent_ns, after_ns);
  // A machine too busy to keep up makes kivosim restart its schedule later.
  const bool slipped = got.finished.err.find("fell behind schedule") != std::string::npos;
  const int64_t start_ns = sends.front().due_ns;
  constexpr int64_t kMs = 1'000'000;
  for (size_t i = 0; i < sends.size(); ++i) {
    const LoggedSend& s = sends[i];
    EXPECT_EQ(s.sequence, kivo::sequence_number(got.datagrams[i].data())) << i;
    EXPECT_GE(s.sent_ns, s.due_ns) << i;
    if (i == 0) continue;
    const int64_t spacing = s.due_ns - sends[i - 1].due_ns;
    if (slipped) {
      EXPECT_GE(spacing, kMs - 2) << i;
    } else {
      EXPECT_NEAR(static_cast<double>(spacing), 1e6, 2) << i;
    }
    EXPECT_GE(s.sent_ns, sends[i - 1].sent_ns) << i;
    // A datagram due in the first 30 ms of a 100 ms period but the first
    // leaves at the end of that stall.
    const int64_t period = (s.due_ns - start_ns) / (100 * kMs);
    const int64_t stall_end = start_ns + period * 100 * kMs + 30 * kMs;
    if (period >= 1 && s.due_ns < stall_end) {
      EXPECT_GE(s.sent_ns, stall_end) << i;
    }
  }
}

}  // namespace
}  // namespace kivosim_test
