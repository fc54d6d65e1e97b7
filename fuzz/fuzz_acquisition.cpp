// Fuzzes the acquisition engine through a real loopback acquisition: each input
// is a run of datagrams of any length (empty, short, whole, over-long) and
// content, sent to the port, mixed with reads. After each input the counters
// must tell exactly what was sent: every non-empty datagram counted with the
// bytes the receive took (a longer one cut to the datagram size), every empty
// one as a failed receive, and the breaks in the numbering as a plain model
// counts them. Every few thousand inputs the acquisition is closed, its files
// checked to hold exactly the blocks it saved and the datagrams of the block
// in progress, and opened again with the next channel count (1 to 16), every
// other time with a band filter.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "fuzz_input.h"
#include "kivo/acquisition.h"
#include "kivo/datagram.h"
#include "kivo/udp_socket.h"

namespace {

namespace fs = std::filesystem;
using kivo_fuzz::fail;
using kivo_fuzz::Input;

constexpr uint64_t kInputsPerOpen = 4000;
constexpr size_t kMostDatagramsPerInput = 64;
constexpr size_t kLongest = kivo::kLargestDatagramBytes + 256;

uint16_t free_udp_port() {
  // A port the system hands out for a socket bound to port 0.
  kivo::net::UdpSocket probe;
  probe.create();
  probe.bind_any(0);
  return probe.local_port();
}

fs::path scratch_folder() {
  std::error_code error;
  if (fs::is_directory("/dev/shm", error)) return "/dev/shm";
  return fs::temp_directory_path();
}

// What the counters must say, counted on the sending side.
struct Expected {
  uint64_t datagrams = 0, failed = 0, bytes = 0, gaps = 0;
  int last = -1;  // previous sequence number, -1 before the first
  // Receive attempts (a block is 1000), and the datagrams of the block in progress.
  uint64_t attempts = 0, in_progress = 0;
};

class Rig {
 public:
  // The blocks go to memory where there is a tmpfs for it: a long run
  // writes hundreds of gigabytes.
  Rig() : dir_(scratch_folder() / ("kivo_fuzz_acquisition_" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
    sender_.create();
    open_next();
  }
  ~Rig() {
    state_->close();
    fs::remove_all(dir_);
  }

  void run(Input& in) {
    if (++inputs_ % kInputsPerOpen == 0) {
      close_and_check();
      open_next();
    }
    for (size_t n = 0; n < kMostDatagramsPerInput && !in.empty(); ++n) {
      const uint8_t op = in.byte();
      if (op < 40) {
        read();
      } else {
        send(in, op);
      }
    }
    wait_for_counters();
  }

 private:
  void open_next() {
    nchans_ = nchans_ % 16 + 1;
    kivo::OpenRequest request;
    request.port = free_udp_port();
    request.nchans = nchans_;
    request.savedir = dir_.string();
    request.with_filter = nchans_ % 2 == 0;
    if (request.with_filter) {
      request.b = {0.2, 0.0, -0.4, 0.0, 0.2};
      request.a = {1.0, -0.5, 0.3, -0.1, 0.05};
    }
    state_ = std::make_unique<kivo::Acquisition>([](kivo::Severity, const std::string&) {});
    state_->open(request);
    kivo::net::parse_ipv4("127.0.0.1", static_cast<uint16_t>(request.port), to_);
    expected_ = Expected{};
  }

  void close_and_check() {
    const std::string raw = state_->raw_path();
    const std::string filtered = state_->filtered_path();
    state_->close();
    // After 'close': the blocks handed over before it, and the block in
    // progress as a last, partial one.
    const kivo::AcquisitionStatus s = state_->status();
    const auto slot = static_cast<uintmax_t>(kivo::make_geometry(nchans_).stamped_slot_bytes);
    const uintmax_t blocks = expected_.attempts / kivo::kSlotsPerBlock;
    const uintmax_t bytes = (blocks * kivo::kSlotsPerBlock + expected_.in_progress) * slot;
    if (s.blocks_saved != blocks || fs::file_size(raw) != bytes)
      fail("raw file does not hold what was received");
    if (!filtered.empty() && fs::file_size(filtered) != bytes)
      fail("filtered file does not hold what was received");
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
  }

  void read() {
    const uint8_t* d = state_->read();
    if (d == nullptr) return;
    unsigned sum = 0;  // touches every byte the read hands out
    for (int32_t i = 0; i < state_->datagram_size(); ++i) sum += d[i];
    sink_ += sum;
  }

  void send(Input& in, uint8_t op) {
    const auto size = static_cast<size_t>(state_->datagram_size());
    size_t length = size;
    if (op < 80)
      length = in.u16() % (kLongest + 1);  // any length
    else if (op < 100)
      length = size + 1 + in.byte();  // over-long
    else if (op < 110)
      length = 0;  // empty
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = in.byte();
    if (length >= static_cast<size_t>(kivo::kHeaderBytes) && op >= 110) {
      // Mostly numbered on from the last, so that gaps are the exception.
      const uint16_t seq = op < 200 ? static_cast<uint16_t>(expected_.last + 1) : in.u16();
      kivo::store_u16le(bytes.data() + kivo::kSequenceOffset, seq);
    }
    if (sender_.send_to(bytes.data(), bytes.size(), to_) != static_cast<long long>(length)) {
      fail("loopback send failed");
    }
    note(bytes, size);
  }

  void note(const std::vector<uint8_t>& bytes, size_t size) {
    if (++expected_.attempts % kivo::kSlotsPerBlock == 0) {
      expected_.in_progress = 0;
    } else if (!bytes.empty()) {
      ++expected_.in_progress;
    }
    if (bytes.empty()) {
      ++expected_.failed;
      return;
    }
    const size_t taken = std::min(bytes.size(), size);
    ++expected_.datagrams;
    expected_.bytes += taken;
    if (taken < static_cast<size_t>(kivo::kHeaderBytes)) return;
    const uint16_t seq = kivo::sequence_number(bytes.data());
    if (expected_.last >= 0 && seq != static_cast<uint16_t>(expected_.last + 1)) ++expected_.gaps;
    expected_.last = seq;
  }

  void wait_for_counters() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      const kivo::AcquisitionStatus s = state_->status();
      if (s.datagrams == expected_.datagrams && s.failed_receives == expected_.failed &&
          s.bytes == expected_.bytes && s.sequence_gaps == expected_.gaps) {
        if (s.kernel_drops != 0) fail("the kernel dropped datagrams on loopback");
        return;
      }
      if (s.datagrams > expected_.datagrams || s.failed_receives > expected_.failed ||
          std::chrono::steady_clock::now() > deadline) {
        std::fprintf(stderr,
                     "counted %llu datagrams, %llu failed, %llu bytes, %llu gaps; sent %llu, %llu empty, "
                     "%llu bytes, %llu gaps\n",
                     (unsigned long long)s.datagrams, (unsigned long long)s.failed_receives,
                     (unsigned long long)s.bytes, (unsigned long long)s.sequence_gaps,
                     (unsigned long long)expected_.datagrams, (unsigned long long)expected_.failed,
                     (unsigned long long)expected_.bytes, (unsigned long long)expected_.gaps);
        fail("the counters do not tell what was sent");
      }
      std::this_thread::yield();
    }
  }

  fs::path dir_;
  kivo::net::UdpSocket sender_;
  kivo::net::Endpoint to_;
  std::unique_ptr<kivo::Acquisition> state_;
  uint32_t nchans_ = 0;
  uint64_t inputs_ = 0;
  Expected expected_;
  unsigned sink_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig rig;  // one acquisition for the process, reopened now and then
  Input in(data, size);
  rig.run(in);
  return 0;
}
