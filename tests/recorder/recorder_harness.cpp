#include "recorder_harness.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kivo/encoder.h"
#include "kivosim_run.h"
#include "wait_until.h"

namespace fs = std::filesystem;

namespace kivorec_test {

Scratch::Scratch() : work_(root_.str() + "/work") { fs::create_directories(work_); }

std::vector<std::string> Scratch::work_files() const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(work_)) {
    // The metadata file beside each sample file has tests of its own.
    if (entry.path().extension() == ".json") continue;
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::unique_ptr<ChildProcess> start_recorder(const Scratch& scratch, const std::vector<std::string>& args) {
  std::vector<std::string> argv{KIVOREC_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<ChildProcess>(argv, scratch.work(), scratch.output_prefix("kivorec"));
}

namespace {

// True when /proc/net/udp lists a socket with local port `port`.
bool udp_port_bound(uint16_t port) {
  std::ifstream table("/proc/net/udp");
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X ", port);
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    if ((local + " ").find(wanted) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

bool wait_until_port_free(uint16_t port) {
  return kivo_test::wait_until([&] { return !udp_port_bound(port); }, kGenerous,
                               std::chrono::milliseconds(50));
}

bool wait_until_listening(ChildProcess& recorder, uint16_t port) {
  kivo_test::wait_until([&] { return udp_port_bound(port) || !recorder.running(); }, kGenerous,
                        std::chrono::milliseconds(10));
  return udp_port_bound(port);
}

std::unique_ptr<ChildProcess> start_kivosim(const Scratch& scratch, const std::vector<std::string>& args) {
  std::vector<std::string> all{"--host",    "127.0.0.1", "--port", std::to_string(kRecorderPort),
                               "--content", "pattern",   "--quiet"};
  all.insert(all.end(), args.begin(), args.end());
  return kivo_test::start_kivosim(all, scratch.work(), scratch.output_prefix("kivosim"));
}

std::optional<int> run_kivosim(const Scratch& scratch, const std::vector<std::string>& args) {
  return start_kivosim(scratch, args)->wait(kGenerous);
}

std::vector<long> progress_numbers(const std::string& out) {
  const std::string prefix = "seq # = ";
  std::vector<long> numbers;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(prefix, 0) == 0) numbers.push_back(std::stol(line.substr(prefix.size())));
  }
  return numbers;
}

std::string check_stream(const std::vector<uint8_t>& file, const kivo::Geometry& geometry,
                         uint64_t empty_every) {
  const auto size = static_cast<size_t>(geometry.datagram_size_bytes);
  if (file.size() % size != 0) return "the file does not end on a slot boundary";
  for (size_t k = 0; k < file.size() / size; ++k) {
    const uint8_t* slot = file.data() + k * size;
    const bool sent_empty = empty_every != 0 && (k + 1) % empty_every == 0;
    const bool ok = sent_empty ? std::all_of(slot, slot + size, [](uint8_t b) { return b == 0; })
                               : kivo::header_matches(slot, static_cast<uint16_t>(k),
                                                      static_cast<uint32_t>(k), geometry.nchans) &&
                                     kivo::pattern_matches(slot, geometry);
    if (!ok) return "slot " + std::to_string(k) + " does not hold datagram " + std::to_string(k);
  }
  return {};
}

}  // namespace kivorec_test
