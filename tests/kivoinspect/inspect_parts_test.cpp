// kivoinspect's parsing and analysis on sample files built in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>
#include <nlohmann/json.hpp>

#include "analysis.h"
#include "checks.h"
#include "filter_check.h"
#include "kivo/band_filter.h"
#include "kivo/encoder.h"
#include "options.h"
#include "recording.h"
#include "report.h"
#include "source.h"
#include "stale_slots.h"

namespace kivo::inspect {
namespace {

constexpr double kStart = 1.7e9;

// A file of `layout` whose slot k holds the pattern datagram numbered seqs[k],
// stamped 1 ms after the one before.
std::vector<uint8_t> build(const Layout& layout, const std::vector<uint16_t>& seqs) {
  std::vector<uint8_t> file(seqs.size() * layout.slot_bytes);
  kivo::DatagramEncoder encoder(layout.geometry, kivo::SampleContent::pattern);
  for (size_t k = 0; k < seqs.size(); ++k) {
    uint8_t* slot = file.data() + k * layout.slot_bytes;
    const double stamp = kStart + 0.001 * static_cast<double>(k);
    if (layout.stamped()) std::memcpy(slot, &stamp, sizeof stamp);
    encoder.encode(slot + layout.stamp_bytes, seqs[k], static_cast<uint32_t>(k));
  }
  return file;
}

std::vector<uint16_t> counting(uint16_t first, size_t n) {
  std::vector<uint16_t> seqs(n);
  for (size_t k = 0; k < n; ++k) seqs[k] = static_cast<uint16_t>(first + k);
  return seqs;
}

// Three blocks as the plug-in leaves them after failed receives: block 1 ends
// in two slots never written, block 2 in three that still hold block 0's.
std::vector<uint8_t> with_stale_tails(const Layout& layout) {
  std::vector<uint8_t> file = build(layout, counting(0, 3000));
  const size_t slot = layout.slot_bytes;
  std::memset(file.data() + 1998 * slot, 0, 2 * slot);
  std::memcpy(file.data() + 2997 * slot, file.data() + 997 * slot, 3 * slot);
  return file;
}

Summary summarise(const std::vector<uint8_t>& file, const Layout& layout) {
  return analyse(Slots(file.data(), file.size(), layout));
}

TEST(StaleSlots, RepeatsAndNeverWrittenSlotsButNotNewDatagramsWithEqualStamps) {
  const Layout raw = make_layout(kivo::FileKind::raw, 4);
  std::vector<uint8_t> file = with_stale_tails(raw);
  // A new datagram that got the same stamp as the one before (a coarse clock).
  std::memcpy(file.data() + 11 * raw.slot_bytes, file.data() + 10 * raw.slot_bytes, 8);
  const Summary s = summarise(file, raw);
  EXPECT_EQ(s.stale_slots, 5U);
  EXPECT_EQ(s.stale_first_at, (std::vector<uint64_t>{1998, 1999, 2997, 2998, 2999}));
  EXPECT_EQ(s.fresh_slots, 2995U);
  EXPECT_EQ(s.gaps.count, 1U);  // 1998 and 1999 were never received

  // In the filtered file the stale slots' samples were filtered anew.
  const Layout filtered = make_layout(kivo::FileKind::filtered, 4);
  std::vector<uint8_t> refiltered = with_stale_tails(filtered);
  refiltered[2998 * filtered.slot_bytes + 100] ^= 0xFF;
  EXPECT_EQ(summarise(refiltered, filtered).stale_slots, 5U);
}

TEST(StaleSlots, RecorderFilesAreComparedByWholeDatagram) {
  const Layout recorder = make_layout(kivo::FileKind::recorder, 8);
  std::vector<uint8_t> file = build(recorder, counting(65000, 1000));
  std::memcpy(file.data() + 900 * recorder.slot_bytes, file.data() + 100 * recorder.slot_bytes,
              recorder.slot_bytes);
  const std::vector<bool> stale = find_stale_slots(Slots(file.data(), file.size(), recorder));
  EXPECT_TRUE(stale[900]);
  EXPECT_EQ(std::count(stale.begin(), stale.end(), true), 1);
}

TEST(Analysis, GapsAcrossTheWrapStampsAndRate) {
  const Layout recorder = make_layout(kivo::FileKind::recorder, 2);
  const Summary s = summarise(build(recorder, {65534, 65535, 0, 1, 5, 6, 6, 7}), recorder);
  EXPECT_EQ(s.gaps.count, 2U);
  EXPECT_EQ(s.gaps.missing, 3U);  // 2..4; the repeated 6 skips nothing
  EXPECT_EQ(s.gaps.repeated, 1U);
  EXPECT_EQ(s.gaps.largest_at, 4U);
  EXPECT_EQ(s.gaps.first_at, (std::vector<uint64_t>{4, 6}));
  EXPECT_FALSE(s.first_stamp.has_value());

  const Layout raw = make_layout(kivo::FileKind::raw, 1);
  const Summary r = summarise(build(raw, counting(10, 1001)), raw);
  EXPECT_EQ(*r.first_sequence, 10);
  EXPECT_EQ(*r.last_sequence, 1010);
  EXPECT_NEAR(*r.last_stamp - *r.first_stamp, 1.0, 1e-6);
  EXPECT_NEAR(r.mean_rate, 1000.0, 1e-3);
}

// A network that reorders and duplicates: late and repeated datagrams break
// the run, but only numbers that never came are missing.
TEST(Analysis, ReorderedAndRepeatedDatagramsAreNotMissingNumbers) {
  const Layout raw = make_layout(kivo::FileKind::raw, 8);
  // 3 comes after 4 and 5, 9 never comes, 7 twice, and 65535 late across the wrap.
  const Summary s = summarise(build(raw, {65534, 0, 1, 2, 4, 5, 3, 6, 7, 7, 8, 65535, 10, 11}), raw);
  EXPECT_EQ(s.gaps.count, 7U);    // 0, 4, 3, 6, 7 (again), 65535, 10
  EXPECT_EQ(s.gaps.missing, 1U);  // 9; 3 and 65535 came late
  EXPECT_EQ(s.gaps.late, 2U);
  EXPECT_EQ(s.gaps.repeated, 1U);
  EXPECT_EQ(s.gaps.largest, 1U);
}

// A jump of more than half a wrap skips numbers; it is no step back. A
// plug-in's file shows that by its stamps, kivorec's by its metadata's
// anchors (a recorder stopped for 10 s at 20,000 datagrams/s).
TEST(Analysis, AJumpOfMoreThanHalfAWrapSkipsNumbers) {
  const Layout raw = make_layout(kivo::FileKind::raw, 4);
  std::vector<uint16_t> jump = counting(0, 1000);
  const std::vector<uint16_t> after_jump = counting(40000, 1000);
  jump.insert(jump.end(), after_jump.begin(), after_jump.end());
  const Summary velto = summarise(build(raw, jump), raw);
  EXPECT_EQ(velto.gaps.count, 1U);
  EXPECT_EQ(velto.gaps.missing, 39000U);
  EXPECT_EQ(velto.gaps.late + velto.gaps.repeated, 0U);
  EXPECT_EQ(velto.gaps.largest_at, 1000U);

  const Layout recorder = make_layout(kivo::FileKind::recorder, 16);
  std::vector<uint16_t> stop = counting(0, 1000);
  const std::vector<uint16_t> after_stop = counting(static_cast<uint16_t>(1000 + 200000), 1000);
  stop.insert(stop.end(), after_stop.begin(), after_stop.end());
  const std::vector<uint8_t> file = build(recorder, stop);
  const std::vector<kivo::SlotAnchor> anchors = {{1000, int64_t{201000} * recorder.geometry.nsamp}};
  const Summary kivorec = analyse(Slots(file.data(), file.size(), recorder), {}, anchors);
  EXPECT_EQ(kivorec.gaps.count, 1U);
  EXPECT_EQ(kivorec.gaps.missing, 200000U);
  EXPECT_EQ(kivorec.gaps.late + kivorec.gaps.repeated, 0U);
}

TEST(Analysis, ChannelRangesKeepChannelsAndTimeStepsApart) {
  const Layout raw = make_layout(kivo::FileKind::raw, 3);
  std::vector<uint8_t> file = build(raw, {0});
  const size_t nsamp = static_cast<size_t>(raw.geometry.nsamp);
  for (size_t t = 0; t < nsamp; ++t) {
    for (size_t ch = 0; ch < 3; ++ch) {
      kivo::store_u16le(file.data() + raw.stamp_bytes + kivo::kHeaderBytes + 2 * (t * 3 + ch),
                        static_cast<uint16_t>(1000 * ch + t));
    }
  }
  const Summary s = summarise(file, raw);
  ASSERT_EQ(s.channels.size(), 3U);
  for (size_t ch = 0; ch < 3; ++ch) {
    EXPECT_EQ(s.channels[ch].minimum, 1000 * ch);
    EXPECT_EQ(s.channels[ch].maximum, 1000 * ch + nsamp - 1);
    EXPECT_DOUBLE_EQ(s.channels[ch].mean, 1000.0 * ch + (nsamp - 1) / 2.0);
  }
}

kivo::Metadata metadata_for(const Layout& layout, uint64_t slots, kivo::EndReason end) {
  kivo::Metadata m = kivo::make_metadata(layout.kind, layout.geometry.nchans, 55000, {}, "f.dat");
  m.totals.slots_written = slots;
  m.totals.blocks_written = slots / 1000;
  m.end = end;
  return m;
}

TEST(Checks, PartialBlocksTrailingBytesAndDisagreementWithTheMetadata) {
  const Layout raw = make_layout(kivo::FileKind::raw, 4);
  std::vector<uint8_t> file = build(raw, counting(0, 1500));
  // velto's 'close' writes the block in progress: counted in the metadata, it is no news.
  const Findings closed =
      check_recording(summarise(file, raw), metadata_for(raw, 1500, kivo::EndReason::closed), "f.dat");
  EXPECT_TRUE(closed.problems.empty() && closed.notes.empty());
  const Findings without_metadata = check_recording(summarise(file, raw), std::nullopt, "f.dat");
  EXPECT_TRUE(without_metadata.problems.empty());
  EXPECT_EQ(without_metadata.notes.size(), 1U);
  file.resize(1000 * raw.slot_bytes + 7);
  const Summary cut = summarise(file, raw);
  EXPECT_EQ(cut.extent.trailing_bytes, 7U);
  EXPECT_EQ(check_recording(cut, metadata_for(raw, 1000, kivo::EndReason::closed), "f.dat").problems.size(),
            1U);
  EXPECT_EQ(check_recording(cut, metadata_for(raw, 2000, kivo::EndReason::closed), "f.dat").problems.size(),
            2U);
  EXPECT_EQ(check_recording(cut, metadata_for(raw, 1000, kivo::EndReason::closed), "g.dat").problems.size(),
            2U);

  const Layout recorder = make_layout(kivo::FileKind::recorder, 4);
  const Summary stopped = summarise(build(recorder, counting(0, 1500)), recorder);
  EXPECT_TRUE(check_recording(stopped, metadata_for(recorder, 1500, kivo::EndReason::ctrl_c), "f.dat")
                  .problems.empty());
  const Findings unknown = check_recording(stopped, std::nullopt, "f.dat");
  EXPECT_TRUE(unknown.problems.empty());
  EXPECT_EQ(unknown.notes.size(), 1U);
}

TEST(Report, ShowsEveryTotalOfTheMetadataInBothForms) {
  Source source;
  source.layout = make_layout(kivo::FileKind::raw, 4);
  source.kind_from = "metadata";
  source.metadata = metadata_for(source.layout, 0, kivo::EndReason::closed);
  uint64_t next = 101;
  kivo::for_each_total(source.metadata->totals,
                       [&](const kivo::TotalField&, uint64_t& count) { count = next++; });
  const Summary summary = summarise({}, source.layout);
  const std::string text = summary_text(source, summary, {});
  const auto json = nlohmann::json::parse(summary_json(source, summary, {}));
  kivo::for_each_total(source.metadata->totals, [&](const kivo::TotalField& field, uint64_t count) {
    EXPECT_EQ(json["metadata"][field.key], count) << field.key;
    EXPECT_NE(text.find(std::to_string(count) + " " + field.words), std::string::npos) << text;
  });
}

// The timing line shows the fit of the stamps; a metadata fit that puts
// samples elsewhere makes the file inconsistent.
TEST(Report, TimingLineAndAMetadataFitThatDisagreesWithTheStamps) {
  Source source;
  source.layout = make_layout(kivo::FileKind::raw, 4);
  source.metadata = metadata_for(source.layout, 3000, kivo::EndReason::closed);
  const std::vector<uint8_t> file = build(source.layout, counting(0, 3000));
  const Summary summary = summarise(file, source.layout);
  ASSERT_TRUE(summary.fitted.has_value());
  source.metadata->timing = *summary.fitted;
  source.metadata->timing->stamp_source = kivo::StampSource::kernel;
  const Findings agreed = check_recording(summary, source.metadata, "f.dat");
  EXPECT_TRUE(agreed.problems.empty());
  const std::string text = summary_text(source, summary, agreed);
  EXPECT_NE(text.find("timing        125000.0000 samples/s per channel"), std::string::npos) << text;
  EXPECT_NE(text.find("1 segment (0 clock steps, 0 device restarts); kernel stamps"), std::string::npos)
      << text;
  const auto json = nlohmann::json::parse(summary_json(source, summary, agreed));
  EXPECT_EQ(json["timing"]["segments"].size(), 1U);
  EXPECT_EQ(json["timing"]["stamp_source"], "kernel");

  source.metadata->timing->segments[0].t0 += 50e-6;
  const Findings disagreed = check_recording(summary, source.metadata, "f.dat");
  ASSERT_EQ(disagreed.problems.size(), 1U);
  EXPECT_NE(disagreed.problems[0].find("puts sample 0 (segment 0) 50 us off the fit of the stamps"),
            std::string::npos)
      << disagreed.problems[0];
}

TEST(Checks, AWrongChannelCountShowsInTheSequenceNumbers) {
  const Layout eight = make_layout(kivo::FileKind::raw, 8);
  const std::vector<uint8_t> file = build(eight, counting(0, 2000));
  const Layout four = make_layout(kivo::FileKind::raw, 4);
  const Findings f = check_recording(summarise(file, four), std::nullopt, "f.dat");
  ASSERT_FALSE(f.problems.empty());
  EXPECT_NE(f.problems.back().find("wrong channel count"), std::string::npos);
  EXPECT_EQ(guess_kind("x_kivo_samples.dat", file.data(), file.size(), 8), kivo::FileKind::raw);
  const Layout recorder = make_layout(kivo::FileKind::recorder, 8);
  const std::vector<uint8_t> bare = build(recorder, counting(0, 2));
  EXPECT_EQ(guess_kind("x_kivo_samples.dat", bare.data(), bare.size(), 8), kivo::FileKind::recorder);
  EXPECT_EQ(guess_kind("x_kivo_filtered_samples.dat", bare.data(), bare.size(), 8), kivo::FileKind::filtered);
}

TEST(FilterCheck, FindsTheFirstChangedSampleAndCarriesHistoriesAcrossBlocks) {
  const Layout raw = make_layout(kivo::FileKind::raw, 2);
  const std::vector<uint8_t> input = build(raw, counting(0, 2000));
  const kivo::FilterCoefficients c =
      kivo::coefficients_as_stored({0.07, 0, -0.13, 0, 0.07}, {1, -2.9, 3.4, -1.8, 0.4});
  kivo::FilterState state;
  std::copy(c.b_stored.begin(), c.b_stored.end(), state.b.begin());
  std::copy(c.a_stored.begin(), c.a_stored.end(), state.a.begin());
  std::vector<uint8_t> output(input.size());
  for (size_t b = 0; b < 2; ++b) {
    kivo::filter_block(state, input.data() + b * raw.block_bytes(), output.data() + b * raw.block_bytes(), 2,
                       250);
  }
  const Layout filtered = make_layout(kivo::FileKind::filtered, 2);
  const Slots in(input.data(), input.size(), raw);
  EXPECT_TRUE(verify_filter(in, Slots(output.data(), output.size(), filtered), c).verified);

  output[1234 * raw.slot_bytes + raw.stamp_bytes + kivo::kHeaderBytes + 2 * (7 * 2 + 1)] ^= 0x10;
  const FilterVerdict changed = verify_filter(in, Slots(output.data(), output.size(), filtered), c);
  EXPECT_FALSE(changed.verified);
  EXPECT_EQ(changed.first_different_slot, 1234U);
  EXPECT_NE(changed.detail.find("channel 1 at time step 7"), std::string::npos) << changed.detail;

  const FilterVerdict shorter = verify_filter(in, Slots(output.data(), raw.block_bytes(), filtered), c);
  EXPECT_FALSE(shorter.verified);
  EXPECT_EQ(shorter.blocks_compared, 1U);

  // A last, partial block, as 'close' writes it: its slots are those of the whole block filtered.
  auto first = [](const std::vector<uint8_t>& bytes, size_t n, const Layout& layout) {
    return Slots(bytes.data(), n * layout.slot_bytes, layout);
  };
  EXPECT_TRUE(verify_filter(first(input, 1200, raw), first(output, 1200, filtered), c).verified);
  EXPECT_EQ(verify_filter(first(input, 1500, raw), first(output, 1500, filtered), c).first_different_slot,
            1234U);
  const FilterVerdict short_by_one = verify_filter(first(input, 1200, raw), first(output, 1199, filtered), c);
  EXPECT_FALSE(short_by_one.verified);
  EXPECT_EQ(short_by_one.blocks_compared, 2U);
}

TEST(Report, StampsThatNoCalendarShowsArePrintedAsNumbers) {
  EXPECT_EQ(stamp_text(1425733509.25), "2015-03-07T13:05:09.250Z");
  // Bits of a damaged file read as a stamp.
  EXPECT_EQ(stamp_text(4e110).substr(0, 4), "4000");
  EXPECT_EQ(stamp_text(-1e300).substr(0, 2), "-1");
  EXPECT_EQ(stamp_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(stamp_text(std::nan("")), "nan");
}

TEST(Options, RefusesWhatCannotBeDone) {
  auto error_of = [](std::vector<const char*> args) {
    args.insert(args.begin(), "kivoinspect");
    return parse_options(static_cast<int>(args.size()), args.data()).error;
  };
  EXPECT_EQ(error_of({"f.dat"}), "");
  EXPECT_EQ(error_of({"--json", "--channels", "16", "--kind", "recorder", "f.dat"}), "");
  EXPECT_EQ(error_of({"--verify-filter", "r.dat", "f.dat"}), "");
  EXPECT_NE(error_of({}), "");
  EXPECT_NE(error_of({"--channels", "17", "f.dat"}), "");
  EXPECT_NE(error_of({"--channels", "8x", "f.dat"}), "");
  EXPECT_NE(error_of({"--kind", "cooked", "f.dat"}), "");
  EXPECT_NE(error_of({"--verify-filter", "r.dat"}), "");
  EXPECT_NE(error_of({"x.dat", "--verify-filter", "r.dat", "f.dat"}), "");
  EXPECT_NE(error_of({"a.dat", "b.dat"}), "");
  EXPECT_NE(error_of({"--fast", "f.dat"}), "");
}

}  // namespace
}  // namespace kivo::inspect
