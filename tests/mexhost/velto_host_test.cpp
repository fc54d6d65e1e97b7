// velto's MATLAB builds in a MEX host of our own: the plug-in is loaded as
// MATLAB loads it and called through mexFunction as MATLAB calls it, with the
// stand-in libmx and libmex, against kivosim on loopback.
#include <cmath>
#include <cstring>
#include <ctime>

#include "kivo/datagram.h"
#include "kivo/encoder.h"
#include "kivo/geometry.h"
#include "kivo/version.h"
#include "velto_host.h"

namespace {

using namespace velto_host_test;

TEST(VeltoGateway, RefusesCallsWithoutACommandWord) {
  Velto velto;
  const char* message = "velto: invalid usage, 1st argument must be a string.";
  Outcome none = velto.call(0);
  EXPECT_TRUE(none.failed);
  EXPECT_EQ(none.error, message);
  Outcome five = velto.call(0, number(5));
  EXPECT_EQ(five.error, message);
  EXPECT_EQ(five.result.get(), nullptr);
  for (const char* word : {"OPEN", "opened", "read ", ""}) {
    Outcome unknown = velto.call(0, text(word));
    EXPECT_TRUE(unknown.failed) << word;
    EXPECT_EQ(unknown.error, "velto: unknown command") << word;
  }
}

TEST(VeltoGateway, VersionPrintsAndReturnsTheVersionRow) {
  Velto velto;
  Outcome printed_only = velto.call(0, text("version"), number(7));
  EXPECT_FALSE(printed_only.failed);
  EXPECT_EQ(printed_only.printed, "Kivo MEX version " KIVO_VERSION "\n");
  EXPECT_EQ(printed_only.result.get(), nullptr);
  Outcome returned = velto.call(1, text("version"));
  ASSERT_NE(returned.result.get(), nullptr);
  ASSERT_TRUE(mxIsDouble(returned.result.get()));
  ASSERT_EQ(mxGetM(returned.result.get()), 1U);
  ASSERT_EQ(mxGetN(returned.result.get()), 3U);
  const double* v = mxGetPr(returned.result.get());
  EXPECT_EQ(std::vector<double>(v, v + 3),
            (std::vector<double>{KIVO_VERSION_MAJOR, KIVO_VERSION_MINOR, KIVO_VERSION_PATCH}));
}

TEST(VeltoGateway, HandlerErrorsReachTheHostUnchanged) {
  Velto velto;
  Outcome open = velto.call(0, text("open"));
  EXPECT_EQ(open.error,
            "velto: velto('open', port, nchans, savedir) or velto('open', port, nchans, savedir, b, a)");
  TempDir dir("velto_host");
  Outcome channels =
      velto.call(1, text("open"), number(free_udp_port()), number(17), text(dir.str().c_str()));
  EXPECT_EQ(channels.error, "velto: invalid # of channels (must be between 1 and 16)");
  Outcome port = velto.call(1, text("open"), text("55000"), number(8), text(dir.str().c_str()));
  EXPECT_EQ(port.error, "velto: port must be a real number");
  // No result, nothing opened, and the plug-in keeps working.
  Outcome close = velto.call(0, text("close"));
  EXPECT_FALSE(close.failed);
  EXPECT_EQ(close.printed, "");
  Outcome read = velto.call(1, text("read"));
  ASSERT_FALSE(read.failed);
  EXPECT_TRUE(mxIsDouble(read.result.get()));
  EXPECT_EQ(mxGetNumberOfElements(read.result.get()), 0U);
}

// The whole road: kivosim sends 2500 pattern datagrams; 'read' gives
// the latest, 'samples' all of them, 'status' counts them, and after 'close'
// both files hold them, slot by slot, the last block partial, and 'close' has
// said how many filtered samples saturated.
TEST(VeltoAcquisition, ReceivesReadsCountsAndSavesEveryDatagram) {
  constexpr int kChannels = 8;
  constexpr int kCount = 2500;
  const kivo::Geometry g = kivo::make_geometry(kChannels);
  Velto velto;
  TempDir dir("velto_host");
  const uint16_t port = free_udp_port();
  // A pass-through filter: each filtered sample is its input plus 32767, saturated.
  Outcome open = velto.call(1, text("open"), number(port), number(kChannels), text(dir.str().c_str()),
                            row({1, 0, 0, 0, 0}), row({1, 0, 0, 0, 0}));
  ASSERT_FALSE(open.failed) << open.error << open.printed;
  EXPECT_EQ(open.scalar(), g.nsamp);
  // The start line, then the files the samples go to.
  ASSERT_EQ(dir.files("_kivo_filtered_samples.dat").size(), 1U);
  const std::string start = "UDP connection to @ port " + std::to_string(port) + " opened...\n";
  const std::string files = "Samples will be saved to " + dir.str();
  const std::string last = dir.files("_kivo_filtered_samples.dat")[0].filename().string() + "\n";
  EXPECT_EQ(open.printed.rfind(start + files, 0), 0U) << open.printed;
  EXPECT_EQ(open.printed.size() - open.printed.rfind(last), last.size()) << open.printed;

  ASSERT_EQ(run_kivosim(pattern_run(port, kChannels, kCount)), 0);
  ASSERT_TRUE(wait_for_status(velto, [&](const Outcome& s) {
    return s.number("datagrams") == kCount && s.number("blocks_saved") == 2;
  }));

  Outcome read = velto.call(1, text("read"));
  ASSERT_FALSE(read.failed) << read.error;
  ASSERT_TRUE(mxIsStruct(read.result.get()));
  ASSERT_EQ(mxGetNumberOfFields(read.result.get()), 2);
  EXPECT_STREQ(mxGetFieldNameByNumber(read.result.get(), 0), "sequence_no");
  EXPECT_STREQ(mxGetFieldNameByNumber(read.result.get(), 1), "samples");
  EXPECT_EQ(read.number("sequence_no"), kCount - 1);
  const mxArray* samples = read.field("samples");
  ASSERT_EQ(mxGetM(samples), g.samples_per_datagram());
  ASSERT_EQ(mxGetN(samples), 1U);
  bool samples_match = true;
  for (size_t t = 0; t < static_cast<size_t>(g.nsamp); ++t) {
    for (size_t c = 0; c < kChannels; ++c) {
      samples_match &= mxGetPr(samples)[t * kChannels + c] == kivo::pattern_sample(kCount - 1, c, t);
    }
  }
  EXPECT_TRUE(samples_match);

  // 'samples' hands over all of them, the block in progress too, each row timed.
  Outcome taken = velto.call(1, text("samples"));
  ASSERT_FALSE(taken.failed) << taken.error;
  const char* samples_fields[] = {"samples", "sequence_no", "stamps", "time", "first_sample", "missed"};
  ASSERT_EQ(mxGetNumberOfFields(taken.result.get()), 6);
  for (int f = 0; f < 6; ++f) EXPECT_STREQ(mxGetFieldNameByNumber(taken.result.get(), f), samples_fields[f]);
  const size_t nsamp = static_cast<size_t>(g.nsamp);
  const size_t rows = kCount * nsamp;
  const mxArray* all = taken.field("samples");
  ASSERT_EQ(mxGetM(all), rows);
  ASSERT_EQ(mxGetN(all), static_cast<size_t>(kChannels));
  ASSERT_EQ(mxGetM(taken.field("time")), rows);
  ASSERT_EQ(mxGetM(taken.field("sequence_no")), static_cast<size_t>(kCount));
  int rows_differing = 0;
  for (size_t row = 0; row < rows; ++row) {
    const size_t d = row / nsamp;
    bool same = mxGetPr(taken.field("sequence_no"))[d] == static_cast<double>(d);
    for (size_t c = 0; c < kChannels; ++c) {
      same &= mxGetPr(all)[c * rows + row] == kivo::pattern_sample(static_cast<uint16_t>(d), c, row % nsamp);
    }
    same &= row == 0 || mxGetPr(taken.field("time"))[row] > mxGetPr(taken.field("time"))[row - 1];
    rows_differing += same ? 0 : 1;
  }
  EXPECT_EQ(rows_differing, 0);
  EXPECT_EQ(taken.number("first_sample"), 0);
  EXPECT_EQ(taken.number("missed"), 0);
  const std::vector<double> taken_stamps(mxGetPr(taken.field("stamps")),
                                         mxGetPr(taken.field("stamps")) + kCount);
  Outcome nothing_new = velto.call(1, text("samples"), text("native"));
  ASSERT_FALSE(nothing_new.failed) << nothing_new.error;
  EXPECT_EQ(mxGetClassID(nothing_new.field("samples")), mxUINT16_CLASS);
  EXPECT_EQ(mxGetM(nothing_new.field("samples")), 0U);
  EXPECT_EQ(mxGetN(nothing_new.field("samples")), static_cast<size_t>(kChannels));
  EXPECT_EQ(mxGetNumberOfElements(nothing_new.field("first_sample")), 0U);
  EXPECT_EQ(velto.call(1, text("samples"), text("double")).error,
            "velto: d = velto('samples') or d = velto('samples', 'native')");

  Outcome status = velto.call(1, text("status"));
  EXPECT_TRUE(mxIsLogical(status.field("running")) && *mxGetLogicals(status.field("running")));
  EXPECT_EQ(status.number("port"), port);
  EXPECT_EQ(status.number("nchans"), kChannels);
  EXPECT_EQ(status.number("nsamp"), g.nsamp);
  EXPECT_EQ(status.number("sequence_gaps"), 0);
  EXPECT_EQ(status.number("failed_receives"), 0);
  EXPECT_EQ(status.number("write_errors"), 0);
  EXPECT_EQ(status.number("kernel_drops"), 0);

  Outcome close = velto.call(0, text("close"));
  ASSERT_FALSE(close.failed);

  const auto raw = dir.files("_kivo_samples.dat");
  const auto filtered = dir.files("_kivo_filtered_samples.dat");
  ASSERT_EQ(raw.size(), 1U);
  ASSERT_EQ(filtered.size(), 1U);
  const std::vector<uint8_t> raw_bytes = contents(raw[0]);
  const std::vector<uint8_t> filtered_bytes = contents(filtered[0]);
  const auto slot = static_cast<size_t>(g.stamped_slot_bytes);
  ASSERT_EQ(raw_bytes.size(), kCount * static_cast<size_t>(g.stamped_slot_bytes));  // the last block partial
  ASSERT_EQ(filtered_bytes.size(), raw_bytes.size());

  kivo::DatagramEncoder encoder(g, kivo::SampleContent::pattern);
  std::vector<uint8_t> expected(static_cast<size_t>(g.datagram_size_bytes));
  const double now = static_cast<double>(std::time(nullptr));
  double previous_stamp = 0;
  int slots_differing = 0;
  uint64_t saturated = 0;
  for (size_t i = 0; i < raw_bytes.size() / slot; ++i) {
    const uint8_t* raw_slot = raw_bytes.data() + i * slot;
    const uint8_t* filtered_slot = filtered_bytes.data() + i * slot;
    double stamp = 0;
    std::memcpy(&stamp, raw_slot, sizeof stamp);
    encoder.encode(expected.data(), static_cast<uint16_t>(i), static_cast<uint32_t>(i));
    bool same = stamp >= previous_stamp && std::fabs(stamp - now) < 3600 &&
                std::memcmp(raw_slot + kivo::kStampBytes, expected.data(), expected.size()) == 0 &&
                std::memcmp(filtered_slot, raw_slot, kivo::kStampBytes + kivo::kHeaderBytes) == 0;
    const uint8_t* in = raw_slot + kivo::kStampBytes + kivo::kHeaderBytes;
    const uint8_t* out = filtered_slot + kivo::kStampBytes + kivo::kHeaderBytes;
    for (size_t k = 0; k < g.samples_per_datagram(); ++k) {
      const unsigned x = in[2 * k] | in[2 * k + 1] << 8;
      const unsigned y = out[2 * k] | out[2 * k + 1] << 8;
      same &= y == std::min(x + 32767U, 65535U);
      saturated += x + 32767U > 65535U ? 1 : 0;
    }
    same &= stamp == taken_stamps[i];
    slots_differing += same ? 0 : 1;
    previous_stamp = stamp;
  }
  EXPECT_EQ(slots_differing, 0);
  EXPECT_GT(saturated, 0U);
  EXPECT_EQ(close.printed, "velto: warning: " + std::to_string(saturated) +
                               " filtered sample(s) were out of range and were clipped\n");

  const auto metadata = dir.files(".json");
  ASSERT_EQ(metadata.size(), 2U);
  for (const fs::path& file : metadata) {
    const std::string json = text_of(file);
    EXPECT_NE(json.find("\"ended\": \"closed\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"blocks_written\": 2,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"slots_written\": 2500,"), std::string::npos) << json;
  }
}

// 'read' is paced by the unread count; 'close' releases the socket library
// (Windows), and the next 'open' must start it again.
TEST(VeltoAcquisition, ReadsArePacedAndOpenWorksAgainAfterClose) {
  Velto velto;
  TempDir dir("velto_host");
  const uint16_t port = free_udp_port();
  for (int round = 0; round < 2; ++round) {
    Outcome open = velto.call(1, text("open"), number(port), number(4), text(dir.str().c_str()));
    ASSERT_FALSE(open.failed) << "round " << round << ": " << open.error << open.printed;
    ASSERT_EQ(run_kivosim(pattern_run(port, 4, 5)), 0);
    ASSERT_TRUE(wait_for_status(velto, [](const Outcome& s) { return s.number("datagrams") == 5; }));
    for (int k = 0; k < 5; ++k) {  // each read takes one datagram's worth of the unread count
      Outcome read = velto.call(1, text("read"));
      ASSERT_TRUE(mxIsStruct(read.result.get()));
      EXPECT_EQ(read.number("sequence_no"), 4);
    }
    Outcome sixth = velto.call(1, text("read"));
    EXPECT_TRUE(mxIsDouble(sixth.result.get()) && mxGetNumberOfElements(sixth.result.get()) == 0U);
    EXPECT_FALSE(velto.call(0, text("close")).failed);
    Outcome after = velto.call(1, text("read"));
    EXPECT_EQ(mxGetNumberOfElements(after.result.get()), 0U);
  }
}

// MATLAB runs the exit function and unloads the plug-in on `clear velto`:
// the threads end before the code they run goes away, and the metadata says so.
TEST(VeltoUnload, UnloadingWhileAcquiringEndsTheAcquisitionFirst) {
  Velto velto;
  TempDir dir("velto_host");
  const uint16_t port = free_udp_port();
  Outcome open = velto.call(1, text("open"), number(port), number(16), text(dir.str().c_str()));
  ASSERT_FALSE(open.failed) << open.error;
  ASSERT_EQ(run_kivosim(pattern_run(port, 16, 1200)), 0);
  ASSERT_TRUE(wait_for_status(velto, [](const Outcome& s) { return s.number("blocks_saved") == 1; }));
  velto.unload();
  const auto metadata = dir.files("_kivo_samples.json");
  ASSERT_EQ(metadata.size(), 1U);
  EXPECT_NE(text_of(metadata[0]).find("\"ended\": \"unloaded\""), std::string::npos);
  EXPECT_EQ(contents(dir.files(".dat")[0]).size(),  // the block in progress too
            1200 * static_cast<size_t>(kivo::make_geometry(16).stamped_slot_bytes));

  velto.load();  // and it loads and works again
  EXPECT_EQ(velto.call(0, text("version")).printed, "Kivo MEX version " KIVO_VERSION "\n");
}

TEST(VeltoHost, EveryArrayThePluginMadeBelongsToTheHost) {
  const long before = standin_mx_live_arrays();
  {
    Velto velto;
    velto.call(1, text("version"));
    velto.call(1, text("status"));
    velto.call(1, text("read"));
    velto.call(1, text("samples"));
    velto.call(0, text("nonsense"));
  }
  EXPECT_EQ(standin_mx_live_arrays(), before);
}

}  // namespace
