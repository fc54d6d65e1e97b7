// The online sample clock's cost per datagram (SampleClock::note), against
// what the receive path already spends per datagram: the sequence tracker's
// note_datagram alone, and one reading of the wall clock for the stamp. The
// stream is made up in memory (1000 datagrams/s of 16 channels, skewed
// delays, 1% loss) so that only the arithmetic is timed; a second stream adds
// a 200 ms stall every 5 s, whose backlogs take the clock's held path.
//
//   clock_bench [--datagrams N] [--reps R]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kivo/clock.h"
#include "kivo/datagram.h"
#include "kivo/sample_clock.h"
#include "kivo/sequence_tracker.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kNsamp = 43;
constexpr double kSampleRate = 43000 * (1 + 37e-6);
constexpr size_t kHeaderRing = 4096;  // headers cycled through, as slots are

struct Options {
  size_t datagrams = 2'000'000;
  int reps = 7;
};

struct Stream {
  std::vector<uint16_t> sequences;
  std::vector<double> stamps;
  std::vector<uint8_t> headers;  // kHeaderRing datagram headers with their numbers
};

// Exponential delays above a 30 us floor, FIFO order, optional stalls.
Stream make_stream(size_t count, bool stalls) {
  Stream s;
  std::mt19937_64 random(5);
  std::exponential_distribution<double> delay(1.0 / 200e-6);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const double spd = kNsamp / kSampleRate;
  double last = 0;
  for (uint64_t u = 0; s.stamps.size() < count; ++u) {
    if (uniform(random) < 0.01) continue;
    const double sent = 1.7e9 + static_cast<double>(u) * spd;
    const double period = std::fmod(static_cast<double>(u) * spd, 5.0);
    double arrival = sent + 30e-6 + delay(random);
    if (stalls && period >= 4.8) arrival = std::fmax(arrival, sent - period + 5.0);
    last = std::fmax(arrival, last + 0.5e-6);
    s.sequences.push_back(static_cast<uint16_t>(u));
    s.stamps.push_back(last);
  }
  s.headers.assign(kHeaderRing * kivo::kHeaderBytes, 0);
  for (size_t i = 0; i < kHeaderRing; ++i) {
    kivo::store_u16le(s.headers.data() + i * kivo::kHeaderBytes + kivo::kSequenceOffset, s.sequences[i]);
  }
  return s;
}

// Best and median ns per datagram over the runs. The bodies return
// something derived from their work, so that none of it is optimised away.
struct Timing {
  double best = 0;
  double median = 0;
};
volatile int64_t g_sink = 0;

template <typename Body>
double ns_per_datagram(size_t count, Body body) {
  const auto start = Clock::now();
  g_sink = g_sink + body();
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(count);
}

Timing summarize(std::vector<double> ns) {
  std::sort(ns.begin(), ns.end());
  return {ns.front(), ns[ns.size() / 2]};
}

double tracker_alone(const Stream& s) {
  return ns_per_datagram(s.stamps.size(), [&] {
    kivo::SequenceTracker tracker;
    int64_t breaks = 0;
    for (size_t i = 0; i < s.stamps.size(); ++i) {
      breaks += tracker.note_datagram(s.headers.data() + (i % kHeaderRing) * kivo::kHeaderBytes, 1388);
    }
    return breaks;
  });
}

double clock_reading(size_t count) {
  return ns_per_datagram(count, [&] {
    double sum = 0;
    for (size_t i = 0; i < count; ++i) sum += kivo::unix_time_seconds();
    return static_cast<int64_t>(sum);
  });
}

double sample_clock(const Stream& s) {
  return ns_per_datagram(s.stamps.size(), [&] {
    kivo::SampleClock clock(kNsamp);
    int64_t last = 0;
    for (size_t i = 0; i < s.stamps.size(); ++i) last += clock.note(s.sequences[i], s.stamps[i]).first_sample;
    return last;
  });
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--datagrams" && i + 1 < argc) {
      o.datagrams = std::strtoull(argv[++i], nullptr, 10);
    } else if (word == "--reps" && i + 1 < argc) {
      o.reps = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: clock_bench [--datagrams N] [--reps R]\n");
      std::exit(2);
    }
  }
  o.datagrams = std::max<size_t>(o.datagrams, kHeaderRing);
  o.reps = std::max(o.reps, 1);
  return o;
}

void print_row(const char* what, Timing t, Timing tracker, Timing reading) {
  std::printf("%-44s %7.1f (%7.1f) %10.1f x %12.2f x\n", what, t.best, t.median, t.best / tracker.best,
              t.best / reading.best);
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const Stream steady = make_stream(o.datagrams, false);
  const Stream stalled = make_stream(o.datagrams, true);

  // One run of each in turn, so that a busy machine weighs on all alike.
  std::vector<double> runs[4];
  for (int r = 0; r < o.reps; ++r) {
    runs[0].push_back(tracker_alone(steady));
    runs[1].push_back(clock_reading(o.datagrams));
    runs[2].push_back(sample_clock(steady));
    runs[3].push_back(sample_clock(stalled));
  }
  const Timing tracker = summarize(runs[0]);
  const Timing reading = summarize(runs[1]);
  const Timing clock_steady = summarize(runs[2]);
  const Timing clock_stalled = summarize(runs[3]);

  std::printf("%zu datagrams of %d samples per channel, %d runs; ns per datagram: best (median)\n\n",
              o.datagrams, kNsamp, o.reps);
  std::printf("%-44s %17s %12s %14s\n", "", "ns/datagram", "/ tracker", "/ clock read");
  print_row("SequenceTracker::note_datagram (baseline)", tracker, tracker, reading);
  print_row("unix_time_seconds (the stamp's clock read)", reading, tracker, reading);
  print_row("SampleClock::note, steady stream", clock_steady, tracker, reading);
  print_row("SampleClock::note, 200 ms stall every 5 s", clock_stalled, tracker, reading);
  return 0;
}
