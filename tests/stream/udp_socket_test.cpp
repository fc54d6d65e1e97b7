#include "kivo/udp_socket.h"

#include <unistd.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace kivo::net {
namespace {

UdpSocket bound_receiver() {
  UdpSocket s;
  EXPECT_EQ(s.create(), 0);
  EXPECT_EQ(s.set_address_option(), 0);
  EXPECT_EQ(s.bind_any(0), 0);
  return s;
}

Endpoint loopback(uint16_t port) {
  Endpoint to;
  EXPECT_TRUE(parse_ipv4("127.0.0.1", port, to));
  return to;
}

TEST(UdpSocket, BindFailsWhereAnotherSocketHoldsThePortExclusively) {
  const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  UdpSocket s;
  ASSERT_EQ(s.create(), 0);
  ASSERT_EQ(s.set_address_option(), 0);
  const int error = s.bind_any(ntohs(address.sin_port));
  EXPECT_EQ(error, EADDRINUSE);
  EXPECT_EQ(socket_error_text(error), "Address already in use");
  ::close(holder);
}

TEST(UdpSocket, CountsTheDatagramsTheKernelDropped) {
  UdpSocket rx = bound_receiver();
  if (!rx.enable_drop_count()) GTEST_SKIP() << "this platform keeps no count of the datagrams it drops";
  rx.request_receive_buffer(4096);  // the kernel's minimum: a few datagrams
  UdpSocket tx;
  ASSERT_EQ(tx.create(), 0);
  const std::vector<uint8_t> data(1000, 1);
  for (int i = 0; i < 200; ++i) tx.send_to(data.data(), data.size(), loopback(rx.local_port()));
  // The kernel stamps each queued datagram with the drop count at the time
  // it was queued: keep one more datagram in flight until one queued after
  // the drops comes out.
  std::vector<uint8_t> into(1000);
  Received r;
  for (int i = 0; i < 50 && !r.drop_count_valid; ++i) {
    tx.send_to(data.data(), data.size(), loopback(rx.local_port()));
    r = rx.receive(into.data(), into.size());
  }
  ASSERT_TRUE(r.drop_count_valid);
  EXPECT_GT(r.kernel_drops, 0U);
}

// Drops after the last datagram received reach no datagram's count; the
// socket's own total has them.
TEST(UdpSocket, TheDropTotalHoldsDropsThatNoLaterDatagramCarries) {
  UdpSocket rx = bound_receiver();
  uint64_t drops = 0;
  if (!rx.read_drop_total(drops)) GTEST_SKIP() << "this platform keeps no count of the datagrams it drops";
  rx.request_receive_buffer(4096);
  UdpSocket tx;
  ASSERT_EQ(tx.create(), 0);
  const std::vector<uint8_t> data(1000, 1);
  for (int i = 0; i < 200; ++i) tx.send_to(data.data(), data.size(), loopback(rx.local_port()));
  std::vector<uint8_t> into(1000);
  uint64_t queued = 0;
  while (rx.receive_queued(into.data(), into.size()).length >= 0) ++queued;
  ASSERT_TRUE(rx.read_drop_total(drops));
  EXPECT_GT(drops, 0U);
  EXPECT_EQ(queued + drops, 200U);
}

}  // namespace
}  // namespace kivo::net
