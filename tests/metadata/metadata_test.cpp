// The metadata file: its JSON read back, the checks on reading, the atomic
// replacement, and the acquisition engine writing it at 'open' and completing
// it at 'close'.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kivo/file_names.h"
#include "kivo/metadata.h"
#include "kivo/metadata_platform.h"
#include "kivo/version.h"
#include "support.h"

namespace kivo::testing {
namespace {

using Json = nlohmann::json;

Json json_of(const fs::path& path) { return Json::parse(kivo_test::file_text(path)); }

kivo::TimeReading reading(int utc_hour, int local_hour, int local_minute) {
  kivo::TimeReading r;
  r.utc.tm_year = r.local.tm_year = 115;
  r.utc.tm_mon = r.local.tm_mon = 2;
  r.utc.tm_mday = r.local.tm_mday = 7;
  r.utc.tm_hour = utc_hour;
  r.utc.tm_min = 5;
  r.local.tm_hour = local_hour;
  r.local.tm_min = local_minute;
  r.utc.tm_sec = r.local.tm_sec = 9;
  return r;
}

kivo::Metadata filtered_example() {
  kivo::Metadata m = kivo::make_metadata(kivo::FileKind::filtered, 3, 5000, reading(13, 14, 5),
                                         "d/x_kivo_filtered_samples.dat");
  m.filter = kivo::coefficients_as_stored({0.1, 0, -0.2, 0, 0.1}, {1, -2.9, 3.3, -1.8, 0.4});
  m.totals.blocks_written = 7;
  m.totals.slots_written = 7000;
  m.totals.kernel_drops = 3;
  m.totals.wrong_size_datagrams = 5;
  m.totals.datagrams_not_saved = 4;
  m.end = kivo::EndReason::unloaded;
  kivo::SampleTiming timing;
  timing.segments = {{0, 6999 * 250 + 249, 1425733509.25, 50000.5}};
  timing.sample_rate = 50000.5;
  timing.datagrams = 7000;
  timing.stamp_source = kivo::StampSource::kernel;
  m.timing = timing;
  m.slot_anchors = std::vector<kivo::SlotAnchor>{{5, 250 * 70000}, {6000, 250 * 140000}};
  return m;
}

TEST(MetadataJson, ReadsBackWhatItWrites) {
  const kivo::Metadata m = filtered_example();
  const kivo::Metadata back = kivo::parse_metadata_json(kivo::metadata_json_text(m));
  EXPECT_EQ(back.kind, kivo::FileKind::filtered);
  EXPECT_EQ(back.nchans, 3U);
  EXPECT_EQ(back.slot_bytes(), 1520);
  EXPECT_EQ(back.sample_file, "x_kivo_filtered_samples.dat");
  EXPECT_EQ(back.totals.blocks_written, 7U);
  EXPECT_EQ(back.totals.kernel_drops, 3U);
  EXPECT_EQ(back.totals.wrong_size_datagrams, 5U);
  EXPECT_EQ(back.totals.datagrams_not_saved, 4U);
  EXPECT_EQ(back.end, kivo::EndReason::unloaded);
  ASSERT_TRUE(back.filter.has_value());
  EXPECT_EQ(back.filter->a[1], -2.9);
  EXPECT_EQ(back.filter->a_stored[1], -2.9f);
  EXPECT_EQ(back.software_version, KIVO_VERSION);
  EXPECT_EQ(back.started.utc.tm_hour, 13);
  ASSERT_TRUE(back.timing.has_value());
  EXPECT_EQ(kivo::timing_json_text(*back.timing), kivo::timing_json_text(*m.timing));
  EXPECT_EQ(back.slot_anchors, m.slot_anchors);

  const Json j = Json::parse(kivo::metadata_json_text(m));
  EXPECT_EQ(j["start_time_local"], "2015-03-07T14:05:09+01:00");
  EXPECT_EQ(j["start_time_utc"], "2015-03-07T13:05:09Z");
  EXPECT_EQ(j["ended"], "unloaded");
  EXPECT_EQ(j["filter"]["a_stored"][1].get<double>(), static_cast<double>(-2.9f));
  EXPECT_EQ(j["timing"]["stamp_source"], "kernel");
  EXPECT_EQ(j["slot_anchors"][1][1], 250 * 140000);
}

TEST(MetadataJson, RecorderFilesHaveNoStampsAndTimeZonesBehindUtcAreSigned) {
  const kivo::Metadata m =
      kivo::make_metadata(kivo::FileKind::recorder, 8, 55000, reading(13, 9, 35), "r_kivo_samples.dat");
  const Json j = Json::parse(kivo::metadata_json_text(m));
  EXPECT_EQ(j["slot_size_bytes"], 1388);
  EXPECT_EQ(j["block_size_bytes"], 1388000);
  EXPECT_EQ(j["stamped"], false);
  EXPECT_TRUE(j["stamp_type"].is_null());
  EXPECT_EQ(j["start_time_local"], "2015-03-07T09:35:09-03:30");
  EXPECT_EQ(j["ended"], "running");
}

TEST(MetadataJson, RefusesWhatDoesNotDescribeTheFile) {
  const std::string good = kivo::metadata_json_text(filtered_example());
  auto edited = [&](const std::function<void(Json&)>& edit) {
    Json j = Json::parse(good);
    edit(j);
    return j.dump();
  };
  const std::string cases[] = {
      "{ not json",
      edited([](Json& j) { j["format"] = "something else"; }),
      edited([](Json& j) { j["slot_size_bytes"] = 1512; }),  // a recorder slot in a filtered file
      edited([](Json& j) { j["nchans"] = 17; }),
      edited([](Json& j) { j["kind"] = "cooked"; }),
      edited([](Json& j) { j.erase("blocks_written"); }),
      edited([](Json& j) { j["filter"]["b_stored"][0] = 0.1; }),  // not 0.1 in single precision
      edited([](Json& j) { j.erase("filter"); }),
      edited([](Json& j) { j["ended"] = "exploded"; }),
      // Numbers that a plain conversion would wrap, cut or overflow.
      edited([](Json& j) { j["nchans"] = -4294967288LL; }),  // 8 once wrapped to 32 bits
      edited([](Json& j) { j["nchans"] = 8.5; }),
      edited([](Json& j) { j["port"] = 1.8e23; }),
      edited([](Json& j) { j["block_size_bytes"] = 1.8e23; }),
      edited([](Json& j) { j["blocks_written"] = -1; }),
      edited([](Json& j) { j["timing"].erase("segments"); }),
      edited([](Json& j) { j["slot_anchors"][1][0] = 5; }),  // not in the order of the slots
      edited([](Json& j) { j["slot_anchors"][0] = 5; }),
  };
  for (const std::string& text : cases) {
    EXPECT_THROW(kivo::parse_metadata_json(text), kivo::MetadataError) << text.substr(0, 60);
  }
  EXPECT_NO_THROW(kivo::parse_metadata_json(edited([](Json& j) { j["added_later"] = 1; })));
}

TEST(MetadataFile, NameReplacesDatAndReplacementIsWholeOrNothing) {
  EXPECT_EQ(kivo::metadata_path_for("d/2015-03-07_14-05-09_kivo_samples.dat"),
            "d/2015-03-07_14-05-09_kivo_samples.json");
  EXPECT_EQ(kivo::metadata_path_for("d/file.bin"), "d/file.bin.json");

  TempDir dir("metadata_replace");
  const fs::path target = dir.path() / "a.json";
  ASSERT_EQ(kivo::replace_file_atomically(target.string(), "first"), 0);
  ASSERT_EQ(kivo::replace_file_atomically(target.string(), "second"), 0);
  EXPECT_EQ(kivo_test::file_text(target), "second");

  fs::create_directory(dir.path() / "busy.json");  // cannot be renamed over
  EXPECT_NE(kivo::replace_file_atomically((dir.path() / "busy.json").string(), "x"), 0);
  EXPECT_NE(kivo::replace_file_atomically((dir.path() / "missing" / "b.json").string(), "x"), 0);
  EXPECT_EQ(dir.files(".tmp").size(), 0U);  // no temporary file left behind
}

// ---- the acquisition engine ----

OpenRequest with_filter(OpenRequest r) {
  r.with_filter = true;
  r.b = {0.0675, 0, -0.135, 0, 0.0675};
  r.a = {1, -2.94, 3.39, -1.84, 0.41};
  return r;
}

TEST(CoreMetadata, WrittenAtOpenAndCompletedAtCloseForBothFiles) {
  TempDir dir("metadata_core");
  Acquisition state(ignore_messages);
  const uint16_t port = free_udp_port();
  state.open(with_filter(request(port, 4, dir.str())));
  const fs::path raw_json = kivo::metadata_path_for(state.raw_path());
  const fs::path filtered_json = kivo::metadata_path_for(state.filtered_path());
  EXPECT_EQ(json_of(raw_json)["ended"], "running");
  EXPECT_EQ(json_of(raw_json)["companion_file"], kivo::base_name(state.filtered_path()));

  Sender sender(port, 4);
  sender.send(2500);
  ASSERT_TRUE(wait_until([&] { return state.status().datagrams == 2500; }));
  state.close();

  for (const fs::path& path : {raw_json, filtered_json}) {
    SCOPED_TRACE(path.string());
    const kivo::Metadata m = kivo::parse_metadata_json(kivo_test::file_text(path));
    EXPECT_EQ(m.end, kivo::EndReason::closed);
    EXPECT_EQ(m.totals.blocks_written, 2U);
    EXPECT_EQ(m.totals.slots_written, 2500U);  // the block in progress, saved at 'close'
    EXPECT_EQ(m.totals.datagrams_received, 2500U);
    EXPECT_EQ(m.totals.datagrams_not_saved, 0U);
    EXPECT_EQ(m.totals.sequence_gaps, 0U);
    EXPECT_EQ(m.port, port);
    EXPECT_EQ(fs::file_size(dir.path() / m.sample_file), 2500U * static_cast<uint64_t>(m.slot_bytes()));
    ASSERT_TRUE(m.timing.has_value());  // the receiver's clock, fitted to every datagram received
    EXPECT_EQ(m.timing->datagrams, 2500U);
    EXPECT_FALSE(m.timing->segments.empty());
  }
  const kivo::Metadata filtered = kivo::parse_metadata_json(kivo_test::file_text(filtered_json));
  ASSERT_TRUE(filtered.filter.has_value());
  EXPECT_EQ(filtered.filter->b[1], 0.0);
  EXPECT_EQ(filtered.filter->a_stored[4], 0.41f);
}

TEST(CoreMetadata, EndingIsRecordedAndARefusedOpenLeavesNoMetadata) {
  TempDir dir("metadata_end");
  Acquisition state(ignore_messages);
  state.open(request(free_udp_port(), 8, dir.str()));
  const fs::path json = kivo::metadata_path_for(state.raw_path());
  state.close(kivo::EndReason::unloaded);
  EXPECT_EQ(json_of(json)["ended"], "unloaded");
  EXPECT_EQ(json_of(json)["companion_file"], "");

  TempDir refused("metadata_refused");
  OpenRequest r = with_filter(request(free_udp_port(), 8, refused.str()));
  r.a.pop_back();
  EXPECT_THROW(state.open(r), std::runtime_error);
  state.close();
  EXPECT_TRUE(fs::is_empty(refused.path()));  // the raw file and its metadata are taken back
}

// A metadata file that cannot be written at 'open' (a full disk) is tried
// again at 'close', when there may be room.
TEST(CoreMetadata, MetadataThatCannotBeWrittenIsReportedAndSamplesGoOnAndCloseWritesIt) {
  TempDir dir("metadata_blocked");
  // Folders where the metadata files of the next few seconds are written
  // before they take their names.
  std::vector<fs::path> blocking;
  const kivo::TimeReading now = kivo::read_time_now();
  for (int s = -1; s <= 5; ++s) {
    const std::time_t t = now.calendar + s;
    const std::tm local = *std::localtime(&t);
    blocking.push_back(kivo::metadata_path_for(kivo::raw_file_name(dir.str(), local)) + ".tmp");
    fs::create_directory(blocking.back());
  }
  Printed printed;
  Acquisition state(printed.console());
  const uint16_t port = free_udp_port();
  state.open(request(port, 4, dir.str()));
  const std::string json = kivo::metadata_path_for(state.raw_path());
  EXPECT_TRUE(printed.contains("Could not open " + json + ", metadata not saved yet (tried again at close)"));
  Sender sender(port, 4);
  sender.send(1000);
  ASSERT_TRUE(wait_until([&] { return state.status().blocks_saved == 1; }));
  EXPECT_FALSE(fs::exists(json));
  for (const fs::path& folder : blocking) fs::remove(folder);
  state.close();
  EXPECT_EQ(fs::file_size(state.raw_path()), 1020000U);
  const kivo::Metadata m = kivo::parse_metadata_json(kivo_test::file_text(json));
  EXPECT_EQ(m.end, kivo::EndReason::closed);
  EXPECT_EQ(m.totals.blocks_written, 1U);
}

}  // namespace
}  // namespace kivo::testing
