// What the acquisition tests share: a free port, a sender of encoded
// datagrams, waiting for the receiver, and reading back a sample file.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "free_port.h"
#include "kivo/acquisition.h"
#include "kivo/encoder.h"
#include "kivo/geometry.h"
#include "kivo/udp_socket.h"
#include "scratch_folder.h"
#include "wait_until.h"

namespace kivo::testing {

namespace fs = std::filesystem;

using kivo_test::free_udp_port;
using kivo_test::TempDir;

// Sends the encoder's pattern datagrams to a loopback port.
class Sender {
 public:
  Sender(uint16_t port, uint32_t nchans);
  // Sends `count` datagrams numbered on from the last one sent.
  void send(int count);
  // Sends raw bytes as one datagram.
  void send_bytes(const std::vector<uint8_t>& bytes);
  // The datagram with running index i, as send() sends it.
  std::vector<uint8_t> datagram(uint32_t index);
  uint32_t sent() const { return next_index_; }

 private:
  kivo::net::UdpSocket socket_;
  kivo::net::Endpoint to_;
  kivo::Geometry geometry_;
  kivo::DatagramEncoder encoder_;
  uint32_t next_index_ = 0;
};

using kivo_test::wait_until;

std::vector<uint8_t> read_file(const fs::path& path);

// Collects what the acquisition prints.
struct Printed {
  struct Line {
    Severity severity;
    std::string text;
  };
  std::vector<Line> lines;
  Console console() {
    return [this](Severity severity, const std::string& text) { lines.push_back({severity, text}); };
  }
  // A line of any severity holds `part`.
  bool contains(const std::string& part) const;
  // A warning begins with `start`.
  bool warned(const std::string& start) const;
};

// A console for tests that look at no message.
inline void ignore_messages(Severity, const std::string&) {}

// An open request for `nchans` channels on `port` into `dir`.
OpenRequest request(uint16_t port, double nchans, const std::string& dir);

}  // namespace kivo::testing
