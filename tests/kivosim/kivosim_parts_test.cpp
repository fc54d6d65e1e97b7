// The simulator's parts without a process: option parsing, the sine's
// settings and the pacing schedule (on made-up clock readings).
#include <gtest/gtest.h>

#include <chrono>

#include "datagram_source.h"
#include "kivo/geometry.h"
#include "options.h"
#include "pacer.h"
#include "send_plan.h"

namespace kivo::sim {
namespace {

ParseResult parse(std::vector<const char*> words) {
  words.insert(words.begin(), "kivosim");
  return parse_options(static_cast<int>(words.size()), words.data());
}

TEST(kivosimOptions, ReadsEveryOptionInBothSpellings) {
  const ParseResult r = parse({"--host",
                               "localhost",
                               "--port=47300",
                               "--channels",
                               "16",
                               "--rate",
                               "0.5",
                               "--count=7",
                               "--duration",
                               "2.25",
                               "--start-seq",
                               "65535",
                               "--content",
                               "random",
                               "--skip-every",
                               "3",
                               "--empty-every",
                               "4",
                               "--short-every=5",
                               "--long-every",
                               "6",
                               "--sine-base-hz",
                               "10",
                               "--noise",
                               "0",
                               "--seed",
                               "42",
                               "--quiet",
                               "--stall-every",
                               "0.5",
                               "--stall-ms=20",
                               "--jitter-us",
                               "75.5",
                               "--send-log",
                               "sent.txt"});
  ASSERT_EQ(r.outcome, ParseOutcome::run) << r.error;
  const Options& o = r.options;
  EXPECT_EQ(o.host, "localhost");
  EXPECT_EQ(o.port, 47300);
  EXPECT_EQ(o.channels, 16u);
  EXPECT_EQ(o.rate, 0.5);
  EXPECT_EQ(o.count, 7u);
  EXPECT_EQ(o.duration, 2.25);
  EXPECT_EQ(o.start_seq, 65535);
  EXPECT_EQ(o.content, Content::random);
  EXPECT_EQ(o.skip_every, 3u);
  EXPECT_EQ(o.empty_every, 4u);
  EXPECT_EQ(o.short_every, 5u);
  EXPECT_EQ(o.long_every, 6u);
  EXPECT_EQ(o.sine_base_hz, 10.0);
  EXPECT_EQ(o.noise, 0.0);
  EXPECT_EQ(o.seed, 42u);
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(o.stall_every, 0.5);
  EXPECT_EQ(o.stall_ms, 20.0);
  EXPECT_EQ(o.jitter_us, 75.5);
  EXPECT_EQ(o.send_log, "sent.txt");
}

TEST(kivosimOptions, RefusesValuesOutOfRangeOrNotQuiteNumbers) {
  const std::vector<std::vector<const char*>> bad{
      {"--port", "0"},
      {"--port", "+5"},
      {"--port", " 5"},
      {"--channels", "1.0"},
      {"--count", "0"},
      {"--count", "-5"},
      {"--count", "1e3"},
      {"--rate", "abc"},
      {"--rate", "nan"},
      {"--rate", "inf"},
      {"--rate", "1e9"},
      {"--rate", "0.0001"},
      {"--rate", "5x"},
      {"--duration", "-1"},
      {"--start-seq", "65536"},
      {"--skip-every", "0"},
      {"--empty-every", ""},
      {"--quiet=1"},
      {"--host", ""},
      {"--host", "example"},
      {"--host", "1.2.3"},
      {"--count", "99999999999999999999"},
      {"--noise", "-1"},
      {"-x"},
      {"--stall-every", "1"},
      {"--stall-ms", "10"},
      {"--jitter-us", "-1"},
      {"--send-log", ""},
      {"--stall-every", "0.01", "--stall-ms", "10"},
      {"--rate", "0", "--jitter-us", "5"},
  };
  for (const auto& words : bad) {
    const ParseResult r = parse(words);
    EXPECT_EQ(r.outcome, ParseOutcome::error) << words[0] << " " << (words.size() > 1 ? words[1] : "");
    EXPECT_FALSE(r.error.empty());
  }
}

TEST(kivosimOptions, AreReadLeftToRightUpToHelp) {
  EXPECT_EQ(parse({"--channels", "99", "--help"}).outcome, ParseOutcome::error);
  EXPECT_EQ(parse({"--help", "--channels", "99"}).outcome, ParseOutcome::help);
  EXPECT_EQ(parse({"-h"}).outcome, ParseOutcome::help);
}

TEST(kivosimSine, SampleRateFollowsTheDatagramRateAndSlowRatesKeepTheWaveVisible) {
  const kivo::Geometry g16 = kivo::make_geometry(16);
  Options o;
  o.rate = 100000;
  EXPECT_DOUBLE_EQ(sine_settings_for(o, g16).sample_rate_hz, 100000.0 * 43);
  EXPECT_DOUBLE_EQ(sine_settings_for(o, g16).base_hz, 43.0);
  o.rate = 0;
  EXPECT_DOUBLE_EQ(sine_settings_for(o, g16).sample_rate_hz, 1000.0 * 43) << "flat out counts as 1000/s";
  for (double rate : {0.1, 1.0, 10.0, 1000.0}) {
    o.rate = rate;
    const kivo::SineSettings s = sine_settings_for(o, g16);
    EXPECT_GE(s.sample_rate_hz / (16 * s.base_hz), 8.0 - 1e-9) << "rate " << rate;
  }
  o.rate = 1;
  o.sine_base_hz = 100;
  o.noise = 3;
  EXPECT_EQ(sine_settings_for(o, g16).base_hz, 100.0) << "an explicit frequency is kept";
  EXPECT_EQ(sine_settings_for(o, g16).noise, 3.0);
}

TEST(kivosimPacer, SlotsAreEvenlySpacedFromTheStart) {
  const SteadyClock::time_point start{};
  Pacer pacer(1000.0, start);
  EXPECT_EQ(pacer.due(), start);
  pacer.taken(1, start);
  EXPECT_EQ(pacer.due(), start + std::chrono::milliseconds(1));
  pacer.taken(2499, start + std::chrono::milliseconds(3));
  EXPECT_EQ(pacer.due(), start + std::chrono::milliseconds(2500)) << "no drift over many slots";
  // Running somewhat late keeps the schedule, so the mean rate still holds.
  pacer.taken(1, start + std::chrono::milliseconds(2530));
  EXPECT_EQ(pacer.due(), start + std::chrono::milliseconds(2501));
  EXPECT_EQ(pacer.slips(), 0u);
}

TEST(kivosimPacer, FallingFarBehindRestartsTheScheduleInsteadOfBursting) {
  const SteadyClock::time_point start{};
  Pacer pacer(1000.0, start);
  const auto late = start + std::chrono::seconds(2);
  pacer.taken(1, late);
  EXPECT_EQ(pacer.due(), late);
  EXPECT_EQ(pacer.slips(), 1u);
  EXPECT_NEAR(pacer.slipped_seconds(), 1.999, 1e-9);
  pacer.taken(1, late);
  EXPECT_EQ(pacer.due(), late + std::chrono::milliseconds(1));
}

TEST(kivosimPacer, WithoutARateEveryDatagramIsDueAtOnce) {
  const SteadyClock::time_point start{};
  Pacer pacer(0.0, start);
  EXPECT_FALSE(pacer.paced());
  pacer.taken(1000, start + std::chrono::seconds(5));
  EXPECT_EQ(pacer.due(), start);
  EXPECT_EQ(pacer.slips(), 0u);
}

TEST(kivosimSendPlan, StallsHoldTheirDatagramsToTheirEndAndNothingOvertakes) {
  using std::chrono::milliseconds;
  Options o;
  o.stall_every = 0.1;
  o.stall_ms = 30;
  SendPlan stalls(o);
  EXPECT_EQ(stalls.send_at(milliseconds(50)), milliseconds(50)) << "no stall before the first period";
  EXPECT_EQ(stalls.send_at(milliseconds(100)), milliseconds(130));
  EXPECT_EQ(stalls.send_at(milliseconds(129)), milliseconds(130)) << "the backlog goes at once";
  EXPECT_EQ(stalls.send_at(milliseconds(130)), milliseconds(130));
  EXPECT_EQ(stalls.send_at(milliseconds(215)), milliseconds(230));

  o.jitter_us = 100;
  SendPlan jittered(o);
  SendPlan::Offset last{0};
  double extra_ms = 0;
  for (int i = 0; i < 1000; ++i) {
    const SendPlan::Offset due = milliseconds(i);
    const SendPlan::Offset at = jittered.send_at(due);
    EXPECT_GE(at, due);
    EXPECT_GE(at, last) << i;
    last = at;
    extra_ms += std::chrono::duration<double, std::milli>(at - due).count();
  }
  EXPECT_GT(extra_ms, 0.05 * 1000) << "stalls and random delays add up";
}

}  // namespace
}  // namespace kivo::sim
