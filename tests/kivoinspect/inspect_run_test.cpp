// kivoinspect on real recordings: the acquisition engine receives what kivosim
// was told to send, faults included, and kivoinspect must find them.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "kivo/metadata.h"
#include "kivo/version.h"
#include "kivosim_run.h"
#include "support.h"

namespace kivo::testing {
namespace {

using Json = nlohmann::json;

// The stamped slot of the 8-channel recordings made here.
constexpr int kSlotBytes = kivo::make_geometry(8).stamped_slot_bytes;

using kivo_test::Finished;
using Args = std::vector<std::string>;

Finished inspect(const Args& args) {
  Args argv{KIVOINSPECT_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  kivo_test::ChildProcess child(argv);
  return kivo_test::finish(child);
}

Json inspect_json(Args args, int expected_status = 0) {
  args.insert(args.begin(), "--json");
  const Finished r = inspect(args);
  EXPECT_EQ(r.status, expected_status) << r.out;
  return Json::parse(r.out);
}

// Records what kivosim sends with `options` into `dir` through the core, with
// a band filter; returns the raw file's path.
std::string record(const TempDir& dir, Args options, uint64_t datagrams, uint64_t attempts) {
  Acquisition state(ignore_messages);
  const uint16_t port = free_udp_port();
  OpenRequest r = request(port, 8, dir.str());
  r.with_filter = true;
  r.b = {0.0675, 0, -0.135, 0, 0.0675};
  r.a = {1, -2.94, 3.39, -1.84, 0.41};
  state.open(r);
  options.insert(options.begin(), {"--quiet", "--channels", "8", "--content", "pattern", "--rate", "20000",
                                   "--port", std::to_string(port)});
  const Finished sim = kivo_test::run_kivosim(options);
  EXPECT_EQ(sim.status, 0) << sim.out << sim.err;
  EXPECT_TRUE(wait_until([&] {
    const AcquisitionStatus s = state.status();
    return s.datagrams == datagrams && s.datagrams + s.failed_receives == attempts;
  }));
  const std::string raw = state.raw_path();
  state.close();
  return raw;
}

std::string filtered_of(const std::string& raw) {
  return raw.substr(0, raw.size() - std::string("_kivo_samples.dat").size()) + "_kivo_filtered_samples.dat";
}

TEST(InspectRun, FindsTheSequenceGapsKivosimMade) {
  TempDir dir("inspect_gaps");
  // A skipped number after every 250th datagram: after 250, 500, ... 1750.
  const std::string raw = record(dir, {"--count", "2000", "--skip-every", "250"}, 2000, 2000);
  const Json j = inspect_json({raw});
  EXPECT_EQ(j["kind"], "raw");
  EXPECT_EQ(j["slots"], 2000);
  EXPECT_EQ(j["sequence_gaps"]["count"], 7);
  EXPECT_EQ(j["sequence_gaps"]["missing"], 7);
  EXPECT_EQ(j["sequence_gaps"]["largest"], 1);
  EXPECT_EQ(j["sequence_gaps"]["first_at_slots"], Json({250, 500, 750, 1000, 1250, 1500, 1750}));
  EXPECT_EQ(j["stale_slots"]["count"], 0);
  EXPECT_EQ(j["metadata"]["sequence_gaps"], 7);
  EXPECT_TRUE(j["consistent"].get<bool>());
}

TEST(InspectRun, CountsStaleSlotsAndVerifiesTheFilter) {
  TempDir dir("inspect_stale");
  // Every 300th datagram is empty: a receive attempt without a slot, so
  // blocks 0 and 1 end in 3 slots never written, and block 2 in 4 slots
  // that still hold block 0's (one datagram, then those never written).
  // Empty datagrams are not of the channel count's size: inconsistent.
  const std::string raw = record(dir, {"--count", "3000", "--empty-every", "300"}, 2990, 3000);
  const Json j = inspect_json({raw}, 1);
  EXPECT_EQ(j["whole_blocks"], 3);
  EXPECT_EQ(j["stale_slots"]["count"], 10);
  EXPECT_EQ(j["stale_slots"]["first_at_slots"],
            Json({997, 998, 999, 1997, 1998, 1999, 2996, 2997, 2998, 2999}));
  EXPECT_EQ(inspect_json({filtered_of(raw)}, 1)["stale_slots"]["count"], 10);

  const Finished verified = inspect({"--verify-filter", raw, filtered_of(raw)});
  EXPECT_EQ(verified.status, 0) << verified.out;

  // One changed byte in a copy of the filtered file.
  TempDir copy("inspect_changed");
  const std::string changed = copy.str() + "/" + kivo::base_name(filtered_of(raw));
  fs::copy_file(filtered_of(raw), changed);
  fs::copy_file(kivo::metadata_path_for(filtered_of(raw)), kivo::metadata_path_for(changed));
  {
    std::fstream f(changed, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(1500 * kSlotBytes + 600);
    const char byte = static_cast<char>(f.get() ^ 0x5a);
    f.seekp(1500 * kSlotBytes + 600);
    f.put(byte);
  }
  const Finished failed = inspect({"--json", "--verify-filter", raw, changed});
  EXPECT_EQ(failed.status, 1) << failed.out;
  EXPECT_EQ(Json::parse(failed.out)["first_different_slot"], 1500);
}

// Every datagram 64 bytes longer than 8 channels' (cut to the slot): the file
// looks whole, but its samples are not the device's.
TEST(InspectRun, DatagramsOfAWrongSizeMakeTheFileInconsistent) {
  TempDir dir("inspect_wrong_size");
  const std::string raw = record(dir, {"--count", "1000", "--long-every", "1"}, 1000, 1000);
  const Finished r = inspect({raw});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("1000 datagrams were not of the size 8 channels give"), std::string::npos) << r.out;
}

TEST(InspectRun, WithoutMetadataNeedsTheChannelCountAndACutFileIsInconsistent) {
  TempDir dir("inspect_bare");
  const std::string raw = record(dir, {"--count", "1000"}, 1000, 1000);
  const std::string bare = dir.str() + "/bare_kivo_samples.dat";
  fs::copy_file(raw, bare);
  EXPECT_EQ(inspect({bare}).status, 2);
  const Json guessed = inspect_json({"--channels", "8", bare});
  EXPECT_EQ(guessed["kind"], "raw");
  EXPECT_EQ(guessed["kind_from"], "guessed");
  EXPECT_EQ(inspect_json({"--channels", "8", "--kind", "recorder", bare}, 1)["consistent"], false);

  fs::resize_file(raw, 700 * kSlotBytes + 100);  // cut in the middle of a slot
  const Json cut = inspect_json({raw}, 1);
  EXPECT_EQ(cut["slots"], 700);
  EXPECT_EQ(cut["trailing_bytes"], 100);
  EXPECT_GE(cut["problems"].size(), 2U);  // a cut slot, and fewer slots than the metadata says
  EXPECT_EQ(inspect({dir.str() + "/missing.dat"}).status, 2);
}

TEST(InspectRun, HelpVersionAndAStrayArgument) {
  const Finished help = inspect({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: kivoinspect ", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("Exit status: 0 consistent"), std::string::npos) << help.out;
  const Finished version = inspect({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("kivoinspect ") + KIVO_VERSION + "\n");
  const Finished stray = inspect({"a_kivo_samples.dat", "extra"});
  EXPECT_EQ(stray.status, 2);
  EXPECT_NE(stray.err.find("usage: kivoinspect "), std::string::npos) << stray.err;
}

}  // namespace
}  // namespace kivo::testing
