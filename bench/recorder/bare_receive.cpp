// The receive ceiling for the recorder benchmark: the recorder's socket set-up
// and receive call on port 55000, and nothing else. Every datagram is thrown
// away. Ends once no datagram has come for half a second after the first one,
// and prints how many arrived.
//
//   bare_receive <datagram_size_bytes>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kivo/udp_socket.h"
#include "recorder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kQuiet = std::chrono::milliseconds(500);

// Watchdog thread: wakes the receive once the stream has gone quiet.
void end_when_quiet(kivo::net::UdpSocket& socket, const std::atomic<long long>& last_ns,
                    std::atomic<bool>& done) {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const long long last = last_ns.load();
    const long long now = Clock::now().time_since_epoch().count();
    if (last != 0 && now - last > std::chrono::nanoseconds(kQuiet).count()) {
      done = true;
      socket.interrupt();
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s datagram_size_bytes\n", argv[0]);
    return 2;
  }
  const size_t size = std::strtoul(argv[1], nullptr, 10);
  kivo::net::SocketLibrary library;
  kivo::net::UdpSocket socket;
  if (socket.create() != 0 || socket.set_address_option() != 0 ||
      socket.bind_any(kivo::recorder::kPort) != 0) {
    std::perror("bare_receive: socket set-up failed");
    return 1;
  }
  socket.request_receive_buffer(kivo::recorder::kReceiveBufferBytes);
  socket.enable_drop_count();
  std::printf("listening\n");
  std::fflush(stdout);

  std::atomic<long long> last_ns{0};
  std::atomic<bool> done{false};
  std::thread watchdog([&] { end_when_quiet(socket, last_ns, done); });
  std::vector<uint8_t> slot(size);
  unsigned long long received = 0;
  uint32_t drops = 0;
  for (;;) {
    const kivo::net::Received r = socket.receive(slot.data(), slot.size());
    if (r.length < 0 && r.interrupted) continue;
    if (r.length <= 0 && done) break;
    if (r.length < 0) {
      std::fprintf(stderr, "bare_receive: receive failed\n");
      break;
    }
    ++received;
    if (r.drop_count_valid) drops = r.kernel_drops;
    last_ns = Clock::now().time_since_epoch().count();
  }
  watchdog.join();
  std::printf("received %llu datagrams; the system dropped %lu\n", received,
              static_cast<unsigned long>(drops));
  return 0;
}
