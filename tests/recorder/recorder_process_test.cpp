// kivorec as a user runs it: the command line, the console, the sample file,
// Ctrl-C, and the failures it must report.
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "kivo/acquisition.h"
#include "kivo/file_names.h"
#include "kivo/metadata.h"
#include "kivo/udp_socket.h"
#include "kivo/version.h"
#include "recorder_harness.h"
#include "wait_until.h"

namespace kivorec_test {
namespace {

using std::chrono::seconds;

constexpr int kFailed = 255;  // the recorder's -1
const char* const kInvalidCount = "invalid # of channels (must be between 1 and 16)\n";

std::string progress_line(long seq) { return "seq # = " + std::to_string(seq) + "\n"; }

// What kivorec said on standard error beyond the warning of a smaller receive
// buffer than it asked for, which it gives where the system grants no more
// (net.core.rmem_max without the right to pass it, and macOS's code).
std::string err_beyond_buffer_warning(const ChildProcess& recorder) {
  return std::regex_replace(recorder.err(), std::regex("^receive buffer: [^\n]*\n"), "",
                            std::regex_constants::format_first_only);
}

const char* const kPortBusy = "another program holds UDP port 55000; its traffic would mix in";

TEST(RecorderCommandLine, MissingCountPrintsUsageAndCreatesNoFile) {
  Scratch scratch;
  auto recorder = start_recorder(scratch, {});
  EXPECT_EQ(recorder->wait(kGenerous), kFailed);
  EXPECT_EQ(recorder->err().rfind("usage: kivorec chans\n", 0), 0u) << recorder->err();
  EXPECT_NE(recorder->err().find("Exit status: 0 everything received was written; 3 "), std::string::npos);
  EXPECT_EQ(recorder->out(), "");
  EXPECT_TRUE(scratch.work_files().empty());
}

TEST(RecorderCommandLine, HelpAndVersionOnStdoutAndAnExtraArgumentRefusedWithTheUsage) {
  Scratch scratch;
  auto help = start_recorder(scratch, {"--help"});
  EXPECT_EQ(help->wait(kGenerous), 0);
  EXPECT_EQ(help->out().rfind("usage: kivorec chans\n", 0), 0u) << help->out();
  EXPECT_NE(help->out().find("255 (-1) it failed, or\n  the command line was wrong."), std::string::npos);
  auto version = start_recorder(scratch, {"--version"});
  EXPECT_EQ(version->wait(kGenerous), 0);
  EXPECT_EQ(version->out(), std::string("kivorec ") + KIVO_VERSION + "\n");
  auto extra = start_recorder(scratch, {"8", "extra"});
  EXPECT_EQ(extra->wait(kGenerous), kFailed);
  EXPECT_EQ(extra->err().rfind("usage: kivorec chans\n", 0), 0u) << extra->err();
  EXPECT_TRUE(scratch.work_files().empty());
}

TEST(RecorderCommandLine, RefusesCountsOutsideOneToSixteenBeforeCreatingAFile) {
  for (const char* count : {"abc", "0", "17", "-3", "8x", ""}) {
    SCOPED_TRACE(std::string("kivorec '") + count + "'");
    Scratch scratch;
    auto recorder = start_recorder(scratch, {count});
    EXPECT_EQ(recorder->wait(kGenerous), kFailed);
    EXPECT_EQ(recorder->err(), kInvalidCount);
    EXPECT_TRUE(scratch.work_files().empty());
  }
}

TEST(RecorderSetUp, PortHeldWithoutAddressReuseFailsBindAndLeavesTheEmptyFile) {
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  kivo::net::UdpSocket holder;  // no SO_REUSEADDR: the recorder's bind must fail
  ASSERT_EQ(holder.create(), 0);
  ASSERT_EQ(holder.bind_any(kRecorderPort), 0) << "port 55000 is taken by something else";
  Scratch scratch;
  auto recorder = start_recorder(scratch, {"8"});
  EXPECT_EQ(recorder->wait(kGenerous), kFailed);
  EXPECT_NE(recorder->err().find("bind() failed: Address already in use\n"), std::string::npos)
      << recorder->err();
  EXPECT_EQ(recorder->out().rfind("With # channels = 8, datagram size = 1388 bytes\n", 0), 0u);
  const auto files = scratch.work_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(
      recorder->out().find("Data will be saved to " + files[0] + " (in the current working directory).\n"),
      std::string::npos);
  EXPECT_EQ(read_bytes(scratch.work() + "/" + files[0]).size(), 0u);
}

// A second kivorec, or velto, on port 55000 would take the datagrams (a
// second bind the system allowed); each is refused, and the first records
// every datagram.
TEST(RecorderSetUp, ASecondOpenerOfThePortIsRefusedAndTheFirstKeepsEveryDatagram) {
  const kivo::Geometry geometry = kivo::make_geometry(8);
  Scratch scratch;
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto first = start_recorder(scratch, {"8"});
  ASSERT_TRUE(wait_until_listening(*first, kRecorderPort)) << first->err();
  Scratch other;
  auto second = start_recorder(other, {"8"});
  EXPECT_EQ(second->wait(kGenerous), kFailed);
  EXPECT_NE(second->err().find("bind() failed: Address already in use\n"), std::string::npos)
      << second->err();
  kivo::Acquisition velto([](kivo::Severity, const std::string&) {});
  kivo::OpenRequest request;
  request.port = kRecorderPort;
  request.nchans = 8;
  request.savedir = other.work();
  std::string refused;
  try {
    velto.open(request);
  } catch (const kivo::AcquisitionError& e) {
    refused = e.what();
  }
  EXPECT_EQ(refused, "bind - Address already in use");
  ASSERT_EQ(run_kivosim(scratch, {"--channels", "8", "--rate", "20000", "--count", "2000"}), 0);
  ASSERT_TRUE(first->wait_for_output(progress_line(1900), kGenerous)) << first->err();
  first->send_signal(SIGINT);
  EXPECT_EQ(first->wait(kGenerous), 0) << first->err();
  const auto files = scratch.work_files();
  ASSERT_EQ(files.size(), 1u);
  const auto bytes = read_bytes(scratch.work() + "/" + files[0]);
  EXPECT_EQ(bytes.size(), 2U * static_cast<size_t>(geometry.recorder_block_bytes));
  EXPECT_EQ(check_stream(bytes, geometry), "");
}

TEST(RecorderSetUp, ExistingFileIsReportedAndKeptAndNothingIsReceived) {
  Scratch scratch;
  // Every name the recorder could pick in the next while is taken already.
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now - 1; t <= now + 30; ++t) {
    std::ofstream(scratch.work() + "/" + kivo::recorder_file_name(*std::localtime(&t))) << "keep";
  }
  const auto before = scratch.work_files();
  auto recorder = start_recorder(scratch, {"8"});
  EXPECT_EQ(recorder->wait(kGenerous), kFailed);
  const std::string err = recorder->err();
  EXPECT_EQ(err.rfind("cannot create ", 0), 0u) << err;
  EXPECT_NE(err.find("_kivo_samples.dat: File exists\n"), std::string::npos) << err;
  EXPECT_EQ(recorder->out().find("seq #"), std::string::npos);
  EXPECT_EQ(scratch.work_files(), before);
  for (const auto& name : before) EXPECT_EQ(read_bytes(scratch.work() + "/" + name).size(), 4u);
}

TEST(RecorderSetUp, ANameInUseThisSecondTakesTheNextOne) {
  Scratch scratch;
  const std::time_t now = std::time(nullptr);
  std::ofstream(scratch.work() + "/" + kivo::recorder_file_name(*std::localtime(&now))) << "keep";
  const auto before = scratch.work_files();
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto recorder = start_recorder(scratch, {"8"});
  ASSERT_TRUE(wait_until_listening(*recorder, kRecorderPort)) << recorder->err();
  recorder->send_signal(SIGINT);
  EXPECT_EQ(recorder->wait(kGenerous), 0) << recorder->err();
  const auto after = scratch.work_files();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(read_bytes(scratch.work() + "/" + before[0]).size(), 4u);
}

// kivosim sends `blocks` whole blocks and stops; Ctrl-C then comes while the
// writer waits for a block that has no datagram yet.
class RecorderBlocks : public testing::TestWithParam<uint32_t> {};

TEST_P(RecorderBlocks, FileHoldsExactlyWhatWasSentInWholeBlocks) {
  const uint32_t nchans = GetParam();
  const kivo::Geometry geometry = kivo::make_geometry(nchans);
  const int blocks = 3;
  Scratch scratch;
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto recorder = start_recorder(scratch, {std::to_string(nchans)});
  ASSERT_TRUE(wait_until_listening(*recorder, kRecorderPort)) << recorder->err();
  ASSERT_EQ(run_kivosim(scratch, {"--channels", std::to_string(nchans), "--rate", "20000", "--count",
                                  std::to_string(blocks * 1000)}),
            0);
  ASSERT_TRUE(recorder->wait_for_output(progress_line(blocks * 1000 - 100), kGenerous))
      << recorder->out() << recorder->err();
  recorder->send_signal(SIGINT);
  EXPECT_EQ(recorder->wait(kGenerous), 0) << recorder->err();

  const std::string out = recorder->out();
  EXPECT_EQ(out.rfind("With # channels = " + std::to_string(nchans) +
                          ", datagram size = " + std::to_string(geometry.datagram_size_bytes) + " bytes\n",
                      0),
            0u);
  EXPECT_NE(out.find("Ctrl-C event\n\n"), std::string::npos);
  EXPECT_EQ(err_beyond_buffer_warning(*recorder), "");
  const auto files = scratch.work_files();
  ASSERT_EQ(files.size(), 1u);
  const auto bytes = read_bytes(scratch.work() + "/" + files[0]);
  EXPECT_EQ(bytes.size(), size_t(blocks) * size_t(geometry.recorder_block_bytes));
  EXPECT_EQ(check_stream(bytes, geometry), "");
}

INSTANTIATE_TEST_SUITE_P(Channels, RecorderBlocks, testing::Values(8u, 3u),
                         [](const auto& info) { return std::to_string(info.param) + "ch"; });

// At 400 datagrams/s a block takes 2.5 s: the stop waits for it as long as
// datagrams arrive.
TEST(RecorderStop, CtrlCWithTrafficCompletesTheBlockInProgress) {
  const kivo::Geometry geometry = kivo::make_geometry(16);
  Scratch scratch;
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto recorder = start_recorder(scratch, {"16"});
  ASSERT_TRUE(wait_until_listening(*recorder, kRecorderPort)) << recorder->err();
  auto sim = start_kivosim(scratch, {"--channels", "16", "--rate", "400", "--duration", "60"});
  ASSERT_TRUE(recorder->wait_for_output(progress_line(1200), kGenerous)) << recorder->err();
  recorder->send_signal(SIGINT);
  EXPECT_EQ(recorder->wait(kGenerous), 0) << recorder->err();
  sim->send_signal(SIGINT);
  sim->wait(kGenerous);

  const std::string out = recorder->out();
  EXPECT_NE(out.find("Ctrl-C event\n\n"), std::string::npos);
  const auto files = scratch.work_files();
  ASSERT_EQ(files.size(), 1u);
  const auto bytes = read_bytes(scratch.work() + "/" + files[0]);
  const auto block = static_cast<size_t>(geometry.recorder_block_bytes);
  EXPECT_EQ(bytes.size() % block, 0u);
  EXPECT_GE(bytes.size() / block, 2u);
  EXPECT_EQ(check_stream(bytes, geometry), "");

  // Ten progress lines a block, showing datagrams 0, 100, ..., 900 of each.
  std::vector<long> expected;
  for (size_t k = 0; k < bytes.size() / static_cast<size_t>(geometry.datagram_size_bytes); k += 100) {
    expected.push_back(static_cast<long>(k));
  }
  EXPECT_EQ(progress_numbers(out), expected);
}

// A second Ctrl-C does not wait for the block in progress: its datagrams
// so far are written as whole slots.
TEST(RecorderStop, ASecondCtrlCCutsTheBlockShort) {
  const kivo::Geometry geometry = kivo::make_geometry(8);
  Scratch scratch;
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto recorder = start_recorder(scratch, {"8"});
  ASSERT_TRUE(wait_until_listening(*recorder, kRecorderPort)) << recorder->err();
  auto sim = start_kivosim(scratch, {"--channels", "8", "--rate", "100", "--duration", "60"});
  ASSERT_TRUE(recorder->wait_for_output(progress_line(100), kGenerous)) << recorder->err();
  recorder->send_signal(SIGINT);
  ASSERT_TRUE(recorder->wait_for_output("Ctrl-C event\n\n", kGenerous));
  recorder->send_signal(SIGINT);
  EXPECT_EQ(recorder->wait(kGenerous), 0) << recorder->err();
  sim->send_signal(SIGINT);
  sim->wait(kGenerous);
  const auto files = scratch.work_files();
  ASSERT_EQ(files.size(), 1u);
  const auto bytes = read_bytes(scratch.work() + "/" + files[0]);
  const auto slot = static_cast<size_t>(geometry.datagram_size_bytes);
  EXPECT_EQ(bytes.size() % slot, 0u);
  EXPECT_GT(bytes.size() / slot, 100u);
  EXPECT_LT(bytes.size() / slot, 1000u);
  EXPECT_EQ(check_stream(bytes, geometry), "");
}

// The device stops in the middle of a block: the stop must not wait for a
// block that never completes, and the datagrams of the partial block stay.
class RecorderStopWithoutTraffic : public testing::TestWithParam<int> {};

TEST_P(RecorderStopWithoutTraffic, EndsAndWritesThePartialBlock) {
  const kivo::Geometry geometry = kivo::make_geometry(8);
  const uint64_t empty_every = 50;
  Scratch scratch;
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto recorder = start_recorder(scratch, {"8"});
  ASSERT_TRUE(wait_until_listening(*recorder, kRecorderPort)) << recorder->err();
  ASSERT_EQ(run_kivosim(scratch, {"--channels", "8", "--rate", "5000", "--count", "1250", "--empty-every",
                                  std::to_string(empty_every)}),
            0);
  ASSERT_TRUE(recorder->wait_for_output(progress_line(1200), kGenerous)) << recorder->err();
  recorder->send_signal(GetParam());
  EXPECT_EQ(recorder->wait(kGenerous), 0) << "the recorder did not end after the stop";
  EXPECT_NE(recorder->out().find("Ctrl-C event\n\n"), std::string::npos);
  const auto files = scratch.work_files();
  ASSERT_EQ(files.size(), 1u);
  const auto bytes = read_bytes(scratch.work() + "/" + files[0]);
  EXPECT_EQ(bytes.size(), 1250u * static_cast<size_t>(geometry.datagram_size_bytes));
  EXPECT_EQ(check_stream(bytes, geometry, empty_every), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, RecorderStopWithoutTraffic, testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return info.param == SIGINT ? "SIGINT" : "SIGTERM"; });

// The device skips 2000 numbers: said at once, and counted in the line that
// sums the run up after Ctrl-C.
TEST(RecorderConsole, SaysASequenceGapAtOnceAndSumsTheRunUpAtTheEnd) {
  Scratch scratch;
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto recorder = start_recorder(scratch, {"8"});
  ASSERT_TRUE(wait_until_listening(*recorder, kRecorderPort)) << recorder->err();
  ASSERT_EQ(run_kivosim(scratch, {"--channels", "8", "--rate", "20000", "--count", "802"}), 0);
  ASSERT_EQ(
      run_kivosim(scratch, {"--channels", "8", "--rate", "20000", "--count", "1200", "--start-seq", "2802"}),
      0);
  ASSERT_TRUE(recorder->wait_for_output(progress_line(4000), kGenerous)) << recorder->out();
  // Said while the recording runs, not only at its end.
  EXPECT_TRUE(kivo_test::wait_until([&] {
    return recorder->err().find("sequence gap: 2000 datagram(s) missing before #2802\n") != std::string::npos;
  })) << recorder->err();
  recorder->send_signal(SIGINT);
  EXPECT_EQ(recorder->wait(kGenerous), 0) << recorder->err();
  const auto files = scratch.work_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(recorder->out().find("Saved 2002 of 2002 datagrams received to " + files[0] +
                                 " (2 block(s) and 2 slot(s)); 1 sequence gap(s), 0 dropped by the system, 0 "
                                 "block(s) not saved; ended: ctrl-c\n"),
            std::string::npos)
      << recorder->out();
}

// A device sending 8 channels to a recorder told 4: said at the first
// datagram and counted at the end, and the metadata holds the count.
TEST(RecorderWrongSize, TheFirstIsSaidAndAllAreCounted) {
  Scratch scratch;
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto recorder = start_recorder(scratch, {"4"});
  ASSERT_TRUE(wait_until_listening(*recorder, kRecorderPort)) << recorder->err();
  ASSERT_EQ(run_kivosim(scratch, {"--channels", "8", "--rate", "20000", "--count", "1500"}), 0);
  ASSERT_TRUE(recorder->wait_for_output(progress_line(1400), kGenerous)) << recorder->err();
  recorder->send_signal(SIGINT);
  EXPECT_EQ(recorder->wait(kGenerous), 0) << recorder->err();
  // Linux tells a cut datagram's length; macOS (the portable build) only that it was longer.
  const std::string size = "(1388|more than 1012) bytes";
  const std::string expected =
      " arrived where 1012 bytes are expected for 4 channels; check the channel count\n";
  const std::regex said("a datagram of " + size + expected + "1500 datagram\\(s\\) of " + size + expected);
  EXPECT_TRUE(std::regex_match(err_beyond_buffer_warning(*recorder), said)) << recorder->err();
  const auto files = scratch.work_files();
  ASSERT_EQ(files.size(), 1u);
  const auto json = read_bytes(kivo::metadata_path_for(scratch.work() + "/" + files[0]));
  const kivo::Metadata metadata = kivo::parse_metadata_json(std::string(json.begin(), json.end()));
  EXPECT_EQ(metadata.totals.wrong_size_datagrams, 1500u);
}

// The disk stalls while the device sends five blocks: the blocks that find
// no room are reported, and the exit status says the recording is incomplete.
TEST(RecorderExitStatus, BlocksNotSavedEndWithStatusThree) {
  Scratch scratch;
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto recorder = std::make_unique<ChildProcess>(std::vector<std::string>{STALLED_DISK_KIVOREC_PATH, "8"},
                                                 scratch.work(), scratch.output_prefix("kivorec"));
  ASSERT_TRUE(wait_until_listening(*recorder, kRecorderPort)) << recorder->err();
  ASSERT_EQ(run_kivosim(scratch, {"--channels", "8", "--rate", "20000", "--count", "5000"}), 0);
  ASSERT_TRUE(recorder->wait_for_output(progress_line(4900), kGenerous)) << recorder->err();
  std::ofstream(scratch.work() + "/release") << "";
  recorder->send_signal(SIGINT);
  EXPECT_EQ(recorder->wait(kGenerous), 3) << recorder->err();
  const std::string err = recorder->err();
  // The printer may name blocks dropped in quick succession in one line.
  EXPECT_NE(err.find(" not saved: the disk did not keep up\n"), std::string::npos) << err;
  EXPECT_NE(err.find("the recording is incomplete: not everything received was saved (exit status 3)\n"),
            std::string::npos)
      << err;
}

// A working directory on a small file system of its own, where the test may
// mount one.
class SmallDisk {
 public:
  SmallDisk(const std::string& dir, const char* size) : dir_(dir) {
    const std::string options = std::string("size=") + size;
    if (::mount("kivorec-test", dir.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      mounted_ = true;
    } else {
      why_not_ = std::strerror(errno);
    }
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& why_not() const { return why_not_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string why_not_;
};

TEST(RecorderWriteFailure, FullDiskIsReportedAndTheEarlierBlocksStayWhole) {
  const kivo::Geometry geometry = kivo::make_geometry(8);
  Scratch scratch;
  // Room for two blocks of 1,388,000 bytes, not three.
  SmallDisk disk(scratch.work(), "3m");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << disk.why_not();
  ASSERT_TRUE(wait_until_port_free(kRecorderPort)) << kPortBusy;
  auto recorder = start_recorder(scratch, {"8"});
  ASSERT_TRUE(wait_until_listening(*recorder, kRecorderPort)) << recorder->err();
  auto sim = start_kivosim(scratch, {"--channels", "8", "--rate", "10000", "--count", "8000"});
  EXPECT_EQ(recorder->wait(kGenerous), kFailed) << recorder->out() << recorder->err();
  sim->wait(kGenerous);

  const std::string err = recorder->err();
  EXPECT_NE(err.find("cannot write block 3 to "), std::string::npos) << err;
  EXPECT_NE(err.find(": No space left on device\n"), std::string::npos) << err;
  const auto files = scratch.work_files();
  ASSERT_EQ(files.size(), 1u);
  const auto bytes = read_bytes(scratch.work() + "/" + files[0]);
  EXPECT_EQ(bytes.size(), 2u * static_cast<size_t>(geometry.recorder_block_bytes));
  EXPECT_EQ(check_stream(bytes, geometry), "");
}

}  // namespace
}  // namespace kivorec_test
