// Band filter benchmark: channel-samples per second of filter_block on every
// instruction set this CPU runs, for 1, 2, 4, 8 and 16 channels, against
// Octave's filter() in single precision on the same samples in the same run,
// and the time to filter the largest block (15 channels) against the block
// period at 1000 datagrams per second.
//
//   filter_bench [--reps N] [--blocks K] [--no-octave] [--octave PATH]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kivo/band_filter.h"
#include "kivo/geometry.h"

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#endif

namespace {

using Clock = std::chrono::steady_clock;

// butter(2, [0.05 0.25]), as octave_filter_bench.m uses it.
constexpr float kB[5] = {0.067455273889071923f, 0.0f, -0.13491054777814385f, 0.0f, 0.067455273889071923f};
constexpr float kA[5] = {1.0f, -2.9445317761650216f, 3.3862060444122672f, -1.8442867368325571f,
                         0.4128015980961886f};

struct Options {
  int reps = 5;
  size_t blocks = 3;
  bool octave = true;
  std::string octave_path = VELTO_BENCH_OCTAVE;
};

struct Timing {
  double best = 0;  // seconds per block
  double median = 0;
};

struct Blocks {
  kivo::Geometry g;
  std::vector<uint8_t> raw;  // `count` stamped blocks
  std::vector<uint8_t> out;
  size_t count = 0;
  double samples_per_block() const { return 1000.0 * g.nsamp * g.nchans; }
  uint8_t* block(std::vector<uint8_t>& v, size_t k) const {
    return v.data() + k * size_t(g.stamped_block_bytes);
  }
};

// Sines of several periods about mid-scale with noise, as a device sends.
Blocks make_blocks(uint32_t nchans, size_t count) {
  Blocks b;
  b.g = kivo::make_geometry(nchans);
  b.count = count;
  b.raw.assign(size_t(b.g.stamped_block_bytes) * count, 0);
  b.out.assign(b.raw.size(), 0);
  std::mt19937 rng(nchans);
  std::uniform_int_distribution<int> noise(-200, 200);
  size_t step = 0;
  for (size_t slot = 0; slot < 1000 * count; ++slot) {
    uint8_t* s = b.raw.data() + slot * size_t(b.g.stamped_slot_bytes) + 20;
    for (int t = 0; t < b.g.nsamp; ++t, ++step) {
      for (uint32_t c = 0; c < nchans; ++c) {
        const double v = 32768 + 20000 * std::sin(0.002 * (c + 1) * double(step)) + noise(rng);
        const auto u = static_cast<uint16_t>(v);
        s[2 * (t * nchans + c)] = static_cast<uint8_t>(u);
        s[2 * (t * nchans + c) + 1] = static_cast<uint8_t>(u >> 8);
      }
    }
  }
  return b;
}

Timing summarize(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return {times.front(), times[times.size() / 2]};
}

Timing time_isa(kivo::FilterIsa isa, Blocks& b, int reps) {
  kivo::FilterState state;
  std::copy(kB, kB + 5, state.b.begin());
  std::copy(kA, kA + 5, state.a.begin());
  kivo::filter_block_with(isa, state, b.block(b.raw, 0), b.block(b.out, 0), b.g.nchans,
                          b.g.nsamp);  // warm-up
  std::vector<double> times;
  for (int r = 0; r < reps; ++r) {
    for (size_t k = 0; k < b.count; ++k) {
      const auto t0 = Clock::now();
      kivo::filter_block_with(isa, state, b.block(b.raw, k), b.block(b.out, k), b.g.nchans, b.g.nsamp);
      times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
  }
  return summarize(times);
}

// The samples alone, time step by time step, for Octave.
void write_samples(const Blocks& b, const std::string& path) {
  std::ofstream f(path, std::ios::binary);
  const size_t run = 2 * size_t(b.g.nsamp) * b.g.nchans;
  for (size_t slot = 0; slot < 1000 * b.count; ++slot) {
    f.write(reinterpret_cast<const char*>(b.raw.data() + slot * size_t(b.g.stamped_slot_bytes) + 20),
            static_cast<std::streamsize>(run));
  }
  if (!f) throw std::runtime_error("cannot write " + path);
}

// Runs octave_filter_bench.m; returns the timing per channel count.
std::map<uint32_t, Timing> run_octave(const Options& o, const std::string& dir,
                                      const std::vector<uint32_t>& counts) {
  std::string list;
  for (uint32_t n : counts) list += std::to_string(n) + " ";
  const std::string cmd = "\"" + o.octave_path + "\" --no-gui --norc --no-history --quiet --path \"" +
                          VELTO_BENCH_SCRIPT_DIR + "\" --eval \"octave_filter_bench('" + dir + "', [" + list +
                          "], " + std::to_string(o.blocks) + ", " + std::to_string(o.reps) + ")\" 2>&1";
  std::map<uint32_t, Timing> result;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return result;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    unsigned n = 0;
    double best = 0, median = 0;
    if (std::sscanf(line, "octave %u %lf %lf", &n, &best, &median) == 3) {
      result[n] = {best, median};
    } else if (std::strncmp(line, "error: ignoring", 15) != 0) {
      std::fprintf(stderr, "octave: %s", line);
    }
  }
  pclose(p);
  return result;
}

std::string cpu_name() {
  std::ifstream f("/proc/cpuinfo");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--reps" && i + 1 < argc) {
      o.reps = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--blocks" && i + 1 < argc) {
      o.blocks = static_cast<size_t>(std::max(1, std::atoi(argv[++i])));
    } else if (arg == "--no-octave") {
      o.octave = false;
    } else if (arg == "--octave" && i + 1 < argc) {
      o.octave_path = argv[++i];
    } else {
      std::fprintf(stderr, "usage: filter_bench [--reps N] [--blocks K] [--no-octave] [--octave PATH]\n");
      std::exit(2);
    }
  }
  if (o.octave_path.empty()) o.octave = false;
  return o;
}

double msps(const Blocks& b, double seconds) { return b.samples_per_block() / seconds / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const auto isas = kivo::available_filter_isas();
  std::printf("CPU: %s\nDefault filter path: %s\n", cpu_name().c_str(),
              kivo::filter_isa_name(kivo::default_filter_isa()));
  std::printf("Blocks of 1000 slots, butter(2, [0.05 0.25]); %d x %zu blocks per figure; best (median)\n\n",
              o.reps, o.blocks);

  const std::vector<uint32_t> counts{1, 2, 4, 8, 16};
  std::map<uint32_t, Blocks> data;
  std::map<uint32_t, Timing> fastest;
  std::printf("%-9s", "channels");
  for (auto isa : isas) std::printf(" %22s", kivo::filter_isa_name(isa));
  std::printf("   M channel-samples/s\n");
  for (uint32_t n : counts) {
    data[n] = make_blocks(n, o.blocks);
    std::printf("%-9u", n);
    for (auto isa : isas) {
      const Timing t = time_isa(isa, data[n], o.reps);
      std::printf("  %9.1f (%9.1f)", msps(data[n], t.best), msps(data[n], t.median));
      if (isa == kivo::default_filter_isa()) fastest[n] = t;
    }
    std::printf("\n");
  }

  if (o.octave) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("filter_bench_" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(folder);
    const std::string dir = folder.generic_string();
    for (uint32_t n : counts) write_samples(data[n], dir + "/samples_" + std::to_string(n) + ".u16");
    const auto octave = run_octave(o, dir, counts);
    std::printf("\nOctave filter(), single, one block per call with the state carried on\n");
    std::printf("%-9s %22s %22s %16s\n", "channels", "Octave M samples/s", "velto M samples/s",
                "velto / Octave");
    for (uint32_t n : counts) {
      const auto it = octave.find(n);
      if (it == octave.end()) {
        std::printf("%-9u %22s\n", n, "(no result)");
        continue;
      }
      const double ours = msps(data[n], fastest[n].best), theirs = msps(data[n], it->second.best);
      std::printf("%-9u %10.1f (%9.1f) %10.1f (%9.1f) %10.1f (%4.1f)\n", n, theirs,
                  msps(data[n], it->second.median), ours, msps(data[n], fastest[n].median), ours / theirs,
                  msps(data[n], fastest[n].median) / msps(data[n], it->second.median));
    }
    std::filesystem::remove_all(folder);
  }

  Blocks largest = make_blocks(15, o.blocks);
  const Timing t = time_isa(kivo::default_filter_isa(), largest, o.reps);
  std::printf(
      "\nLargest block (15 channels, %d bytes): %.3f ms (median %.3f ms) with %s, "
      "%.2f%% of the 1000 ms block period at 1000 datagrams/s\n",
      largest.g.stamped_block_bytes, t.best * 1e3, t.median * 1e3,
      kivo::filter_isa_name(kivo::default_filter_isa()), t.median * 1e3 / 1000.0 * 100.0);
  return 0;
}
