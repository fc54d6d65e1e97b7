// 'open' and 'close' of the acquisition engine, without traffic.
#include <unistd.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <regex>
#include <stdexcept>

#include "kivo/file_names.h"
#include "support.h"

namespace kivo::testing {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The error of an 'open' that fails: its kind ("refused: " or "set-up: ")
// and its message.
std::string open_error(Acquisition& state, const OpenRequest& r) {
  try {
    state.open(r);
  } catch (const AcquisitionError& e) {
    return (e.kind() == FailureKind::refused ? "refused: " : "set-up: ") + std::string(e.what());
  }
  return "";
}

OpenRequest with_filter(OpenRequest r, size_t nb, size_t na) {
  r.with_filter = true;
  r.b.assign(nb, 0.1);
  r.a.assign(na, 0.2);
  return r;
}

TEST(Open, ReturnsNsampAndFixesTheGeometryForEachChannelCount) {
  TempDir dir("geometry");
  Printed printed;
  Acquisition state(printed.console());
  const uint16_t port = free_udp_port();
  const std::pair<double, int32_t> cases[] = {{1, 500}, {2, 250}, {4, 125}, {8, 86},
                                              {16, 43}, {3, 250}, {15, 86}, {16.9, 43}};
  for (const auto& [nchans, nsamp] : cases) {
    SCOPED_TRACE(nchans);
    EXPECT_EQ(state.open(request(port, nchans, dir.str())), nsamp);
    const auto expected = kivo::make_geometry(static_cast<uint32_t>(nchans));
    EXPECT_EQ(state.datagram_size(), expected.datagram_size_bytes);
    EXPECT_TRUE(state.status().running);
    state.close();
    EXPECT_FALSE(state.status().running);
  }
  EXPECT_TRUE(printed.contains("UDP connection to @ port " + std::to_string(port) + " opened..."));
}

TEST(Open, RefusesBadPortsAndChannelCountsBeforeCreatingAnything) {
  TempDir dir("refused");
  Acquisition state(ignore_messages);
  for (double port : {0.0, 0.9, -1.0, 65536.0, 70000.0, kNaN, kInf}) {
    OpenRequest r = request(0, 4, dir.str());
    r.port = port;
    EXPECT_EQ(open_error(state, r), "refused: invalid port (must be between 1 and 65535)") << port;
  }
  for (double nchans : {0.99, 0.0, 17.0, -1.0, kNaN, 1e300}) {
    EXPECT_EQ(open_error(state, request(free_udp_port(), nchans, dir.str())),
              "refused: invalid # of channels (must be between 1 and 16)")
        << nchans;
  }
  EXPECT_TRUE(dir.files(".dat").empty());
  EXPECT_FALSE(state.running());
}

TEST(Open, NamesBothFilesFromOneTimeReading) {
  TempDir dir("names");
  Acquisition state(ignore_messages);
  state.open(with_filter(request(free_udp_port(), 4, dir.str() + "/"), 5, 5));
  const std::string raw = state.raw_path();
  const std::string filtered = state.filtered_path();
  state.close();
  const std::regex pattern(".*//(\\d{4}-\\d{2}-\\d{2}_\\d{2}-\\d{2}-\\d{2})_kivo_samples\\.dat");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(raw, match, pattern)) << raw;
  EXPECT_EQ(filtered, raw.substr(0, raw.size() - 11) + "filtered_samples.dat");
}

TEST(Open, NamesTakenInThisSecondAndTheNextAreRefusedAndNothingIsCreated) {
  TempDir dir("taken");
  Acquisition state(ignore_messages);
  const std::time_t now = std::time(nullptr);
  for (int k = 0; k < 4; ++k) {
    const std::time_t then = now + k;
    std::tm local{};
    localtime_r(&then, &local);
    std::ofstream(kivo::raw_file_name(dir.str(), local)) << "earlier samples";
  }
  const std::string error = open_error(state, request(free_udp_port(), 4, dir.str()));
  EXPECT_TRUE(
      std::regex_match(error, std::regex("refused: .*_kivo_samples\\.dat exists and is not overwritten")))
      << error;
  EXPECT_FALSE(state.running());
  EXPECT_TRUE(dir.files(".json").empty());
  for (const auto& file : dir.files(".dat")) EXPECT_EQ(fs::file_size(file), 15U) << file;
  EXPECT_EQ(dir.files(".dat").size(), 4U);
}

TEST(Open, ARefusedFilterLeavesNoFile) {
  TempDir dir("filter_counts");
  Acquisition state(ignore_messages);
  const uint16_t port = free_udp_port();
  EXPECT_EQ(open_error(state, with_filter(request(port, 4, dir.str()), 5, 4)),
            "refused: filter coefficients MUST describe 2nd order butterworth!");
  EXPECT_FALSE(state.running());
  EXPECT_TRUE(fs::is_empty(dir.path()));

  // Element counts alone are tested: a row of five with a column of five passes.
  EXPECT_EQ(state.open(with_filter(request(port, 4, dir.str()), 5, 5)), 125);
  EXPECT_FALSE(state.filtered_path().empty());
  state.close();
}

TEST(Open, RefusesASecondOpenWhileRunningAndChangesNothing) {
  TempDir dir("twice");
  Acquisition state(ignore_messages);
  const uint16_t port = free_udp_port();
  state.open(request(port, 4, dir.str()));
  const std::string raw = state.raw_path();
  EXPECT_EQ(open_error(state, request(free_udp_port(), 8, dir.str())),
            "refused: already open, call velto('close') first");
  EXPECT_TRUE(state.running());
  EXPECT_EQ(state.samples_per_channel(), 125);
  EXPECT_EQ(state.raw_path(), raw);
  EXPECT_EQ(state.status().port, port);
  state.close();
}

TEST(Open, ReportsAPortHeldWithoutAddressReuse) {
  TempDir dir("held");
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  Acquisition state(ignore_messages);
  EXPECT_EQ(open_error(state, request(ntohs(address.sin_port), 4, dir.str())),
            "set-up: bind - Address already in use");
  EXPECT_FALSE(state.running());
  EXPECT_TRUE(fs::is_empty(dir.path()));  // the files created before the socket are taken back
  ::close(holder);
  state.close();
}

TEST(Open, GoesOnWithoutFilesThatCannotBeCreated) {
  Printed printed;
  Acquisition state(printed.console());
  const std::string missing = "/nonexistent/velto";
  EXPECT_EQ(state.open(with_filter(request(free_udp_port(), 2, missing), 5, 5)), 250);
  EXPECT_TRUE(state.running());
  EXPECT_TRUE(printed.contains("Could not open " + missing + "/"));
  EXPECT_TRUE(printed.contains("_kivo_samples.dat, samples will not be saved!"));
  EXPECT_TRUE(printed.contains("_kivo_filtered_samples.dat, filtered samples will not be saved!"));
  state.close();
}

TEST(Close, IsHarmlessWithoutOpenAndTwiceInARow) {
  Printed printed;
  Acquisition state(printed.console());
  state.close();
  state.close();
  EXPECT_EQ(state.read(), nullptr);
  EXPECT_TRUE(printed.lines.empty());
}

TEST(Close, AFourArgumentOpenAfterASixArgumentOneRunsWithoutAFilter) {
  TempDir dir("reopen");
  Acquisition state(ignore_messages);
  const uint16_t port = free_udp_port();
  for (int round = 0; round < 3; ++round) {
    state.open(with_filter(request(port, 8, dir.str()), 5, 5));
    EXPECT_FALSE(state.filtered_path().empty());
    state.close();
    state.open(request(port, 8, dir.str()));
    EXPECT_TRUE(state.running());
    EXPECT_TRUE(state.filtered_path().empty());
    state.close();
  }
}

// The engine speaks for every front end: neither an error nor a printed
// line carries a gateway's prefix or its line end; the gateways add them.
TEST(Messages, CarryNoFrontEndsPrefixOrLineEnd) {
  TempDir dir("messages");
  Printed printed;
  Acquisition state(printed.console());
  std::vector<std::string> texts;
  auto fail = [&](const OpenRequest& r) {
    try {
      state.open(r);
    } catch (const AcquisitionError& e) {
      texts.push_back(e.what());
    }
  };
  const uint16_t port = free_udp_port();
  fail(request(0, 4, dir.str()));
  fail(request(port, 17, dir.str()));
  fail(with_filter(request(port, 4, dir.str()), 5, 4));
  state.open(with_filter(request(port, 4, "/nonexistent/velto"), 5, 5));  // printed errors
  fail(request(port, 4, dir.str()));                                      // already open
  state.close();
  state.open(request(port, 4, dir.str()));
  Sender wider(port, 8);
  wider.send(3);
  ASSERT_TRUE(wait_until([&] { return state.status().wrong_size_datagrams == 3; }));
  state.close();  // a warning

  ASSERT_EQ(texts.size(), 4U);
  for (Severity severity : {Severity::error, Severity::warning, Severity::note}) {
    EXPECT_TRUE(std::any_of(printed.lines.begin(), printed.lines.end(),
                            [&](const Printed::Line& line) { return line.severity == severity; }));
  }
  for (const Printed::Line& line : printed.lines) texts.push_back(line.text);
  const std::regex front_end_prefix("(velto|kivo)\\b.*", std::regex::icase);
  for (const std::string& text : texts) {
    EXPECT_FALSE(std::regex_match(text, front_end_prefix)) << text;
    EXPECT_TRUE(!text.empty() && text.back() != '\n') << text;
  }
}

}  // namespace
}  // namespace kivo::testing
