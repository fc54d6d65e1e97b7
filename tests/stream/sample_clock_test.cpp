// The sample clock against a simulated device whose true times are known:
// numbering, fitted times and rate, segments, jitter, and the "timing" JSON.
#include "kivo/sample_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "kivo/lower_envelope.h"
#include "kivo/metadata.h"
#include "kivo/slot_anchors.h"
#include "simulated_device.h"

namespace kivo {
namespace {

using kivo_test::ReceivedDatagram;
using kivo_test::SimulatedDevice;

constexpr int32_t kNsamp = 43;                     // 16 channels
constexpr double kTrueRate = 43000 * (1 + 37e-6);  // a crystal 37 ppm fast
constexpr double kTimeTolerance = 20e-6;
constexpr double kRateTolerance = 1e-6;

// A minute and more of 1000 datagrams/s with everything that can happen on the
// way: skewed delays, 1% loss, a 200 ms stall, 1000 datagrams lost at once,
// two wraps of the sequence number, and the receiver's clock stepping back.
SimulatedDevice eventful_recording() {
  SimulatedDevice device(kTrueRate, kNsamp, 25);
  device.loss = 0.01;
  device.start_at(10000);
  device.send(20000);
  device.stall(0.2);
  device.send(10000);
  device.lose(1000);
  device.send(55000);  // past 65536
  device.step_clock(-0.5);
  device.send(40000);  // past 131072
  return device;
}

struct Outcome {
  SampleTiming timing;
  std::vector<int64_t> first_samples;
};

Outcome fit_offline(const std::vector<ReceivedDatagram>& received) {
  std::vector<uint16_t> sequences;
  std::vector<double> stamps;
  for (const ReceivedDatagram& d : received) {
    sequences.push_back(d.sequence);
    stamps.push_back(d.stamp);
  }
  Outcome out;
  out.first_samples.resize(received.size());
  out.timing =
      fit_sample_clock(kNsamp, sequences.data(), stamps.data(), received.size(), out.first_samples.data());
  return out;
}

// The largest distance between a sample's fitted time and its true time plus
// the least delay, over the first sample of every datagram received.
double worst_time_error(const SampleTiming& timing, const SimulatedDevice& device) {
  double worst = 0;
  for (const ReceivedDatagram& d : device.received()) {
    const double fitted = sample_time(timing, d.datagram * kNsamp);
    worst = std::fmax(worst,
                      std::isnan(fitted) ? INFINITY : std::fabs(fitted - d.true_time - device.floor_delay));
  }
  return worst;
}

double quantile_of(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(std::ceil(q * static_cast<double>(values.size()))) - 1];
}

TEST(SampleClock, FitsAnEventfulRecordingToMicroseconds) {
  const SimulatedDevice device = eventful_recording();
  const Outcome fit = fit_offline(device.received());
  const SampleTiming& t = fit.timing;

  for (size_t i = 0; i < device.received().size(); ++i) {
    ASSERT_EQ(fit.first_samples[i], device.received()[i].datagram * kNsamp) << "datagram " << i;
  }
  EXPECT_LT(worst_time_error(t, device), kTimeTolerance);
  const double rate_error_ppm = 1e6 * (t.sample_rate / kTrueRate - 1);
  EXPECT_LT(std::fabs(rate_error_ppm), 1e6 * kRateTolerance);
  EXPECT_LT(std::fabs(rate_error_ppm), 3 * t.sample_rate_uncertainty_ppm)
      << "the uncertainty covers the error";
  EXPECT_LT(t.sample_rate_uncertainty_ppm, 0.5);

  // The step back starts the second segment at the first datagram after it.
  ASSERT_EQ(t.segments.size(), 2u);
  EXPECT_EQ(t.segment_count, 2u);
  EXPECT_EQ(t.clock_steps, 1u);
  EXPECT_EQ(t.device_restarts, 0u);
  const auto first_after_step = std::find_if(device.received().begin(), device.received().end(),
                                             [](const ReceivedDatagram& d) { return d.datagram > 96200; });
  EXPECT_EQ(t.segments[1].first_sample, first_after_step->datagram * kNsamp);
  EXPECT_EQ(t.segments[0].last_sample, (first_after_step - 1)->datagram * kNsamp + kNsamp - 1);
  EXPECT_EQ(t.datagrams, device.received().size());

  // Jitter: the delays above their floor, as far as the histogram resolves.
  std::vector<double> above_floor;
  for (const ReceivedDatagram& d : device.received())
    above_floor.push_back(d.stamp - d.true_time - device.floor_delay);
  EXPECT_NEAR(t.jitter_median_seconds / quantile_of(above_floor, 0.5), 1, 0.08);
  EXPECT_NEAR(t.jitter_p99_seconds / quantile_of(above_floor, 0.99), 1, 0.08);
  EXPECT_NEAR(t.jitter_max_seconds, 0.2, 0.001) << "the stall's first datagram";
}

TEST(SampleClock, OnlineGivesWhatTheOfflineFitGives) {
  const SimulatedDevice device = eventful_recording();
  const Outcome offline = fit_offline(device.received());
  SampleClock clock(kNsamp);
  std::vector<int64_t> first_samples;
  for (const ReceivedDatagram& d : device.received())
    first_samples.push_back(clock.note(d.sequence, d.stamp).first_sample);
  const SampleTiming online = clock.timing();

  EXPECT_EQ(first_samples, offline.first_samples);
  EXPECT_EQ(timing_json_text(online), timing_json_text(offline.timing));
  for (const ReceivedDatagram& d : device.received()) {
    ASSERT_EQ(clock.time_of(d.datagram * kNsamp + 7), sample_time(offline.timing, d.datagram * kNsamp + 7));
  }
}

// 20,000 datagrams/s wrap every 3.3 s: a 10 s outage hides three wraps, which
// the stamps reveal, and a 2 s stall delays a backlog of consecutive
// datagrams by more than half a wrap, which they must not be mistaken for.
TEST(SampleClock, ElapsedTimeCountsWrapsButNotABacklogsDelay) {
  SimulatedDevice device(20000 * kNsamp, kNsamp, 7);
  device.send(100000);
  device.lose(200000);
  device.send(100000);
  device.stall(2.0, 5000);
  device.send(100000);
  const Outcome fit = fit_offline(device.received());
  for (size_t i = 0; i < device.received().size(); ++i) {
    ASSERT_EQ(fit.first_samples[i], device.received()[i].datagram * kNsamp) << "datagram " << i;
  }
  EXPECT_EQ(fit.timing.segments.size(), 1u);
  EXPECT_LT(worst_time_error(fit.timing, device), kTimeTolerance);
}

// Stamps that jump 300 ms and come back are a stall; stamps that jump and
// stay are the clock stepping forward.
TEST(SampleClock, AForwardJumpThatStaysStartsASegmentAStallDoesNot) {
  SimulatedDevice device(kTrueRate, kNsamp, 11);
  device.send(5000);
  device.stall(0.3);
  device.send(5000);
  device.step_clock(0.3);
  const int64_t first_after_step = device.received().back().datagram + 1;
  device.send(5000);
  const Outcome fit = fit_offline(device.received());
  ASSERT_EQ(fit.timing.segments.size(), 2u);
  EXPECT_EQ(fit.timing.clock_steps, 1u);
  EXPECT_EQ(fit.timing.segments[1].first_sample, first_after_step * kNsamp);
  EXPECT_LT(worst_time_error(fit.timing, device), kTimeTolerance);
}

TEST(SampleClock, ARestartedDeviceStartsASegmentAboveTheLastAndGapsHaveNoTime) {
  SimulatedDevice device(kTrueRate, kNsamp, 3);
  device.start_at(30000);
  device.send(3000);
  device.restart(1.5, 0);
  device.send(3000);
  const Outcome fit = fit_offline(device.received());
  const SampleTiming& t = fit.timing;
  ASSERT_EQ(t.segments.size(), 2u);
  EXPECT_EQ(t.device_restarts, 1u);
  EXPECT_EQ(t.segments[0].first_sample, 30000 * kNsamp);
  EXPECT_EQ(t.segments[1].first_sample, 65536 * kNsamp)
      << "the next number above the last with the low bits 0";
  EXPECT_LT(worst_time_error(t, device), kTimeTolerance);
  const int64_t n = kNsamp;
  for (const int64_t outside : {int64_t{0}, 30000 * n - 1, 33000 * n, 65536 * n - 1, 68536 * n}) {
    EXPECT_TRUE(std::isnan(sample_time(t, outside))) << outside;
  }
}

// A damaged file's stamps: the datagrams keep their places, the fit its line.
TEST(SampleClock, StampsThatAreNoTimePlaceTheirDatagramsByNumberAlone) {
  SimulatedDevice device(kTrueRate, kNsamp, 5);
  device.send(3000);
  std::vector<ReceivedDatagram> damaged = device.received();
  for (size_t i = 1000; i < damaged.size(); i += 97) damaged[i].stamp = i % 2 ? NAN : INFINITY;
  const Outcome fit = fit_offline(damaged);
  for (size_t i = 0; i < damaged.size(); ++i)
    ASSERT_EQ(fit.first_samples[i], damaged[i].datagram * kNsamp) << i;
  EXPECT_EQ(fit.timing.segments.size(), 1u);
  EXPECT_LT(worst_time_error(fit.timing, device), kTimeTolerance);
}

// A network that holds up a run of datagrams for 60 ms while the 120 after
// it go ahead (at 2000 datagrams/s): the run is late, in the first second of
// the fit and later, not a gap of nearly a wrap or a restarted device.
TEST(SampleClock, ARunHeldUpPastMoreThan64LaterDatagramsIsLate) {
  struct Arrival {
    int64_t u;
    double stamp;
  };
  std::vector<Arrival> arrivals;
  const double spd = 0.5e-3;
  for (int64_t u = 0; u < 4000; ++u) {
    const bool held = (u >= 1000 && u < 1004) || (u >= 3000 && u < 3004);
    if (!held) arrivals.push_back({u, 1.7e9 + static_cast<double>(u) * spd + 30e-6});
    if (u == 1124 || u == 3124) {
      for (int64_t late = u - 124; late < u - 120; ++late) {
        arrivals.push_back({late, 1.7e9 + static_cast<double>(u) * spd + 60e-6});
      }
    }
  }
  SampleClock clock(kNsamp);
  for (const Arrival& a : arrivals) {
    ASSERT_EQ(clock.note(static_cast<uint16_t>(a.u), a.stamp).first_sample, a.u * kNsamp) << a.u;
  }
  const SampleTiming t = clock.timing();
  EXPECT_EQ(t.segment_count, 1u);
  EXPECT_EQ(t.late_datagrams, 8u);
  EXPECT_NEAR(t.sample_rate, kNsamp / spd, 1e-3);
}

// A file without stamps, read by its numbers and the anchors, places every
// slot where the clock placed its datagram: across a 10 s outage at 20,000
// datagrams/s (three wraps and more), a restart a few numbers below the last
// number, and a block the writer had no room for.
TEST(SlotAnchors, TheChainAndTheAnchorsPlaceEverySlotAsTheClockDid) {
  SimulatedDevice device(20000 * kNsamp, kNsamp, 9);
  device.send(30000);
  device.lose(200000);
  device.send(30000);
  device.restart(2.0, static_cast<uint16_t>(device.received().back().sequence - 10));
  device.send(30000);
  SampleClock clock(kNsamp);
  AnchorLog log(kNsamp);
  std::vector<uint16_t> file_sequences;
  std::vector<int64_t> file_places;
  const std::vector<ReceivedDatagram>& received = device.received();
  for (size_t i = 0; i < received.size(); ++i) {
    const int64_t place = clock.note(received[i].sequence, received[i].stamp).first_sample;
    log.note(received[i].sequence, place);
    const size_t block = i / kSlotsPerBlock;
    if (block != 10) {
      file_sequences.push_back(received[i].sequence);
      file_places.push_back(place);
    }
    if ((i + 1) % kSlotsPerBlock == 0 || i + 1 == received.size()) {
      if (block == 10) {
        log.drop_block();
      } else {
        log.keep_block();
      }
    }
  }
  const std::vector<SlotAnchor> anchors = log.anchors();
  EXPECT_EQ(anchors.size(), 2u) << "the outage and the restart";
  SlotChain chain(kNsamp, anchors);
  for (size_t k = 0; k < file_sequences.size(); ++k)
    ASSERT_EQ(chain.next(file_sequences[k]), file_places[k]) << k;
}

TEST(SampleTiming, JsonKeepsEveryFieldAndUnknownFiguresAsNull) {
  SampleTiming t;
  t.segments = {{0, 42999, 1700000000.1234567, 43001.25}, {43000, 43042, 1699999999.5, kNoTime}};
  t.sample_rate = 43001.25;
  t.sample_rate_uncertainty_ppm = 0.125;
  t.jitter_median_seconds = 1.5e-4;
  t.jitter_max_seconds = 0.2;
  t.datagrams = 1001;
  t.segment_count = 2;
  t.clock_steps = 1;
  t.late_datagrams = 3;
  t.stamp_source = StampSource::kernel;
  const std::string text = timing_json_text(t);
  EXPECT_NE(text.find("\"jitter_p99_seconds\": null"), std::string::npos) << text;
  EXPECT_NE(text.find("\"stamp_source\": \"kernel\""), std::string::npos) << text;
  EXPECT_EQ(timing_json_text(parse_timing_json(text)), text);
  EXPECT_EQ(parse_timing_json(text).segments[0].t0, 1700000000.1234567);

  std::string bad = text;
  bad.replace(bad.find("\"clock_steps\": 1"), 16, "\"clock_steps\": -1");
  EXPECT_THROW(parse_timing_json(bad), MetadataError);
}

// A clock that drifts along a curve puts every point on the hull: the hull,
// thinned again and again, keeps the line on the points (within a small part
// of the curve's 1e-3 bend) and at the curve's slope near the mean.
TEST(LowerEnvelope, ThinningAFullHullKeepsTheLineOnThePoints) {
  LowerEnvelope envelope(64);
  std::vector<double> ys;
  for (int i = 0; i < 1000; ++i) {
    ys.push_back(1e-3 * i + 1e-9 * i * i);
    envelope.add(i, ys.back());
  }
  const EnvelopeLine line = envelope.line();
  ASSERT_TRUE(line.valid);
  double highest_above = -INFINITY;
  for (int i = 0; i < 1000; ++i)
    highest_above = std::fmax(highest_above, line.at(i) - ys[static_cast<size_t>(i)]);
  EXPECT_LT(std::fabs(highest_above), 1e-5);
  EXPECT_NEAR(line.slope, 1e-3 + 2e-9 * 499.5, 1e-7);
}

}  // namespace
}  // namespace kivo
