#include "support.h"

#include <fstream>
#include <iterator>
#include <thread>

namespace kivo::testing {

Sender::Sender(uint16_t port, uint32_t nchans)
    : geometry_(kivo::make_geometry(nchans)), encoder_(geometry_, kivo::SampleContent::pattern) {
  socket_.create();
  kivo::net::parse_ipv4("127.0.0.1", port, to_);
}

std::vector<uint8_t> Sender::datagram(uint32_t index) {
  std::vector<uint8_t> bytes(static_cast<size_t>(geometry_.datagram_size_bytes));
  encoder_.encode(bytes.data(), static_cast<uint16_t>(index), index);
  return bytes;
}

void Sender::send(int count) {
  for (int i = 0; i < count; ++i) {
    send_bytes(datagram(next_index_++));
    // Short pauses keep a loopback burst within the receive buffer.
    if (next_index_ % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void Sender::send_bytes(const std::vector<uint8_t>& bytes) {
  socket_.send_to(bytes.data(), bytes.size(), to_);
}

std::vector<uint8_t> read_file(const fs::path& path) { return kivo_test::file_contents(path); }

bool Printed::contains(const std::string& part) const {
  for (const Line& line : lines) {
    if (line.text.find(part) != std::string::npos) return true;
  }
  return false;
}

bool Printed::warned(const std::string& start) const {
  for (const Line& line : lines) {
    if (line.severity == Severity::warning && line.text.rfind(start, 0) == 0) return true;
  }
  return false;
}

OpenRequest request(uint16_t port, double nchans, const std::string& dir) {
  OpenRequest r;
  r.port = port;
  r.nchans = nchans;
  r.savedir = dir;
  return r;
}

}  // namespace kivo::testing
