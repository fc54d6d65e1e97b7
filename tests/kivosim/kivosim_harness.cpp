#include "kivosim_harness.h"

#include <poll.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>

namespace kivosim_test {
namespace {

constexpr int kReceiveBufferBytes = 16 << 20;
constexpr int kQuietAfterExitMs = 500;
constexpr int kPollMs = 100;
constexpr int kGiveUpMs = 60'000;

}  // namespace

LoopbackReceiver::LoopbackReceiver() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket");
  // SO_RCVBUFFORCE goes past net.core.rmem_max where the test may; SO_RCVBUF otherwise.
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("bind");
  }
  port_ = ntohs(address.sin_port);
}

LoopbackReceiver::~LoopbackReceiver() { ::close(fd_); }

std::optional<std::vector<uint8_t>> LoopbackReceiver::receive(int timeout_ms) {
  pollfd waiting{fd_, POLLIN, 0};
  if (::poll(&waiting, 1, timeout_ms) <= 0) return std::nullopt;
  std::vector<uint8_t> datagram(65536);
  const ssize_t n = ::recv(fd_, datagram.data(), datagram.size(), 0);
  if (n < 0) return std::nullopt;
  datagram.resize(static_cast<size_t>(n));
  return datagram;
}

Collected run_and_collect(LoopbackReceiver& receiver, std::vector<std::string> args, size_t expected) {
  args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(receiver.port())});
  const auto process = kivo_test::start_kivosim(args);
  Collected result;
  int quiet_ms = 0;
  int waited_ms = 0;
  while (result.datagrams.size() < expected && waited_ms < kGiveUpMs) {
    if (auto datagram = receiver.receive(kPollMs)) {
      result.datagrams.push_back(std::move(*datagram));
      quiet_ms = 0;
      continue;
    }
    waited_ms += kPollMs;
    if (!process->running() && (quiet_ms += kPollMs) >= kQuietAfterExitMs) break;
  }
  result.finished = kivo_test::finish(*process);
  return result;
}

}  // namespace kivosim_test
