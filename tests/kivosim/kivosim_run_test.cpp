// How a kivosim run starts and ends: usage errors, --help, --duration, and a
// stop by SIGTERM with the summary and the progress lines.
#include <signal.h>
#include <gtest/gtest.h>

#include "kivo/version.h"
#include "kivosim_harness.h"

namespace kivosim_test {
namespace {

bool has_usage_line(const std::string& text) { return text.find("usage: kivosim") != std::string::npos; }

TEST(kivosimRun, BadOptionsGiveStatus2AndTheUsageOnStderr) {
  const std::vector<std::vector<std::string>> bad{
      {"--channels", "0"},
      {"--channels", "17"},
      {"--rate", "-1"},
      {"--port", "65536"},
      {"--bogus"},
      {"--count"},
      {"--content", "noise"},
      {"--host", "300.1.1.1"},
      {"--duration", "0"},
      {"--start-seq", "70000"},
      {"--skip-every", "x"},
      {"stray"},
  };
  for (const auto& args : bad) {
    const Finished f = run_kivosim(args);
    EXPECT_EQ(f.status, 2) << args[0];
    EXPECT_TRUE(has_usage_line(f.err)) << args[0] << ": " << f.err;
    EXPECT_EQ(f.out, "") << args[0];
  }
}

TEST(kivosimRun, HelpWithTheExitStatusesAndVersionPrintOnStdoutWithStatus0) {
  const Finished f = run_kivosim({"--rate", "5", "--help"});
  EXPECT_EQ(f.status, 0);
  EXPECT_TRUE(has_usage_line(f.out)) << f.out;
  EXPECT_NE(f.out.find("--skip-every N"), std::string::npos);
  EXPECT_NE(f.out.find("Exit status: 0 everything was sent; 1 "), std::string::npos) << f.out;
  EXPECT_EQ(f.err, "");
  const Finished v = run_kivosim({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, std::string("kivosim ") + KIVO_VERSION + "\n");
}

TEST(kivosimRun, DurationEndsTheRunWithASummaryOfWhatArrived) {
  LoopbackReceiver receiver;
  const Collected got =
      run_and_collect(receiver, {"--duration", "0.3", "--rate", "200", "--quiet"}, SIZE_MAX);
  ASSERT_EQ(got.finished.status, 0) << got.finished.err;
  const auto summary = parse_summary(got.finished.out);
  ASSERT_TRUE(summary) << got.finished.out;
  EXPECT_GT(summary->sent, 0u);
  EXPECT_EQ(summary->sent, got.datagrams.size());
  EXPECT_EQ(summary->bytes, got.datagrams.size() * 1388);
}

TEST(kivosimRun, SigtermEndsAnOpenEndedRunCleanlyAfterProgressLines) {
  LoopbackReceiver receiver;
  const auto process = kivo_test::start_kivosim(
      {"--host", "127.0.0.1", "--port", std::to_string(receiver.port()), "--rate", "200", "--channels", "1"});
  // 240 datagrams at 200/s take more than a second, so a progress line is due.
  size_t received = 0;
  while (received < 240 && receiver.receive(10'000)) ++received;
  ASSERT_EQ(received, 240u);
  process->send_signal(SIGTERM);
  const Finished f = kivo_test::finish(*process);
  while (receiver.receive(300)) ++received;

  EXPECT_EQ(f.status, 0) << f.err;
  const auto summary = parse_summary(f.out);
  ASSERT_TRUE(summary) << f.out;
  EXPECT_EQ(summary->sent, received);
  EXPECT_EQ(summary->bytes, received * 1012);
  EXPECT_NE(f.err.find("datagrams/s, last sequence number"), std::string::npos) << f.err;
}

}  // namespace
}  // namespace kivosim_test
