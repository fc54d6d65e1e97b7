// Finds the highest paced rate at which the acquisition saves every datagram
// to disk; the same with a 'samples' caller that takes every datagram every
// 50 ms beside it; and, in the same run, the highest rate at which a bare
// receive loop that throws the data away still gets every datagram: the
// ceiling of this machine. Prints the three and their ratios, for 4 and 16
// channels.
//
// usage: loss_free_rate [seconds per trial] [folder for the sample files]
#include <unistd.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kivo/acquisition.h"
#include "kivo/geometry.h"
#include "kivo/receive_buffer.h"
#include "kivo/udp_socket.h"

namespace {

constexpr uint16_t kPort = 47990;

// Runs kivosim to kPort and waits for it; returns the datagrams it sent.
long run_sim(int nchans, int rate, double seconds) {
  const std::string cmd = std::string(KIVOSIM_PATH) + " --port " + std::to_string(kPort) + " --channels " +
                          std::to_string(nchans) + " --rate " + std::to_string(rate) + " --duration " +
                          std::to_string(seconds) + " --content pattern --quiet";
  FILE* out = popen(cmd.c_str(), "r");
  long sent = -1;
  if (out != nullptr) {
    if (std::fscanf(out, "kivosim: sent %ld", &sent) != 1) sent = -1;
    pclose(out);
  }
  return sent;
}

bool wait_for(const std::function<bool()>& done) {
  for (int i = 0; i < 200 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

// The ceiling: one receive per datagram into a reused buffer, nothing else,
// with the receive buffer that the acquisition asks for.
bool bare_receive_keeps_up(int nchans, int rate, double seconds) {
  kivo::net::UdpSocket socket;
  socket.create();
  socket.set_address_option();
  socket.bind_any(kPort);
  socket.request_receive_buffer(
      kivo::receive_buffer_request(kivo::make_geometry(static_cast<uint32_t>(nchans)).stamped_block_bytes));
  std::atomic<long> received{0};
  std::thread receiver([&] {
    std::vector<uint8_t> buffer(kivo::kLargestDatagramBytes);
    while (socket.receive(buffer.data(), buffer.size()).length > 0) received.fetch_add(1);
  });
  const long sent = run_sim(nchans, rate, seconds);
  wait_for([&] { return received.load() >= sent; });
  socket.interrupt();
  receiver.join();
  return sent > 0 && received.load() == sent;
}

// Takes 'samples' every 50 ms, as a live display or analysis would, until
// stopped; then what is left, before 'close' (after it, 'samples' hands over
// nothing). Counts what it got and missed.
class SamplesReader {
 public:
  explicit SamplesReader(kivo::Acquisition& state) : state_(state), thread_([this] { run(); }) {}
  // Before 'close', once every datagram has arrived: the reader's thread
  // ends, and the last take gets the rest.
  void stop() {
    stop_ = true;
    thread_.join();
    take();
  }
  // The datagrams handed over, all told.
  uint64_t finish() const { return taken_; }
  uint64_t missed() const { return missed_; }

 private:
  void run() {
    while (!stop_) {
      take();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  void take() {
    const kivo::TakenDatagrams t = state_.take_samples();
    taken_ += t.count;
    missed_ += t.missed;
  }
  kivo::Acquisition& state_;
  std::atomic<bool> stop_{false};
  uint64_t taken_ = 0;  // the reader's thread, then finish()
  uint64_t missed_ = 0;
  std::thread thread_;
};

// The acquisition writing raw blocks to disk: every datagram received, and
// every full block written; with `reader`, a 'samples' caller gets every
// datagram too.
bool acquisition_keeps_up(int nchans, int rate, double seconds, const std::string& dir, bool reader) {
  kivo::Acquisition state([](kivo::Severity, const std::string&) {});
  kivo::OpenRequest request;
  request.port = kPort;
  request.nchans = nchans;
  request.savedir = dir;
  state.open(request);
  std::optional<SamplesReader> samples;
  if (reader) samples.emplace(state);
  const long sent = run_sim(nchans, rate, seconds);
  wait_for([&] { return state.status().datagrams >= static_cast<uint64_t>(sent); });
  wait_for([&] { return state.status().blocks_saved >= static_cast<uint64_t>(sent) / 1000; });
  const kivo::AcquisitionStatus s = state.status();
  const std::string path = state.raw_path();
  if (samples) samples->stop();
  state.close();
  const uint64_t taken = samples ? samples->finish() : static_cast<uint64_t>(sent);
  const uint64_t missed = samples ? samples->missed() : 0;
  std::filesystem::remove(path);
  const bool kept_up = sent > 0 && s.datagrams == static_cast<uint64_t>(sent) && s.kernel_drops == 0 &&
                       s.write_errors == 0 && s.blocks_saved == static_cast<uint64_t>(sent) / 1000 &&
                       taken == static_cast<uint64_t>(sent) && missed == 0;
  if (!kept_up) {
    std::printf(
        "  %d channels at %d/s%s: sent %ld, received %llu, kernel drops %llu, writer stalls %llu, blocks "
        "%llu, samples taken %llu, missed %llu\n",
        nchans, rate, reader ? " with a samples reader" : "", sent,
        static_cast<unsigned long long>(s.datagrams), static_cast<unsigned long long>(s.kernel_drops),
        static_cast<unsigned long long>(s.writer_stalls), static_cast<unsigned long long>(s.blocks_saved),
        static_cast<unsigned long long>(taken), static_cast<unsigned long long>(missed));
  }
  return kept_up;
}

// The highest rate of the ladder at which `keeps_up` holds twice in a row.
template <typename Trial>
int highest_loss_free(const std::vector<int>& ladder, Trial keeps_up) {
  int best = 0;
  for (int rate : ladder) {
    if (!keeps_up(rate) || !keeps_up(rate)) break;
    best = rate;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const std::string dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
  const std::vector<int> ladder = {5000,   10000,  20000,  40000,  60000,  80000,
                                   100000, 120000, 150000, 200000, 250000, 300000};
  std::printf("Loss-free rate, %.1f s per trial, files in %s\n", seconds, dir.c_str());
  std::printf("%-9s %22s %22s %7s %22s %7s %16s\n", "channels", "acquisition (dgrams/s)",
              "with samples (dgrams/s)", "ratio", "bare receive (dgrams/s)", "ratio", "acquisition MB/s");
  for (int nchans : {4, 16}) {
    const int ceiling =
        highest_loss_free(ladder, [&](int r) { return bare_receive_keeps_up(nchans, r, seconds); });
    const int acquired = highest_loss_free(
        ladder, [&](int r) { return acquisition_keeps_up(nchans, r, seconds, dir, false); });
    const int with_reader =
        highest_loss_free(ladder, [&](int r) { return acquisition_keeps_up(nchans, r, seconds, dir, true); });
    const double slot = kivo::make_geometry(static_cast<uint32_t>(nchans)).stamped_slot_bytes;
    std::printf("%-9d %22d %22d %6.0f%% %22d %6.0f%% %16.1f\n", nchans, acquired, with_reader,
                acquired > 0 ? 100.0 * with_reader / acquired : 0.0, ceiling,
                ceiling > 0 ? 100.0 * acquired / ceiling : 0.0, acquired * slot / 1e6);
  }
  return 0;
}
