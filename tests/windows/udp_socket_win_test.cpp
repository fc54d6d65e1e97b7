// The Winsock socket: receiving, cutting long datagrams, waking a blocked
// receive without closing the socket under it, and binding.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "kivo/udp_socket.h"

namespace kivo::net {
namespace {

class UdpSocketWin : public ::testing::Test {
 protected:
  static UdpSocket bound_receiver() {
    UdpSocket s;
    EXPECT_EQ(s.create(), 0);
    EXPECT_EQ(s.set_reuse_address(), 0);
    EXPECT_EQ(s.bind_any(0), 0);
    return s;
  }
  static Endpoint loopback(uint16_t port) {
    Endpoint to;
    EXPECT_TRUE(parse_ipv4("127.0.0.1", port, to));
    return to;
  }

  SocketLibrary library_;
};

TEST_F(UdpSocketWin, ReceivesWholeDatagramsAndCutsLongOnes) {
  ASSERT_TRUE(library_.started());
  UdpSocket rx = bound_receiver();
  UdpSocket tx;
  ASSERT_EQ(tx.create(), 0);
  const std::vector<uint8_t> data(100, 0xAB);
  ASSERT_EQ(tx.send_to(data.data(), 40, loopback(rx.local_port())), 40);
  ASSERT_EQ(tx.send_to(data.data(), 100, loopback(rx.local_port())), 100);
  ASSERT_EQ(tx.send_to(data.data(), 0, loopback(rx.local_port())), 0);
  std::vector<uint8_t> into(64, 0);
  EXPECT_EQ(rx.receive(into.data(), into.size()).length, 40);
  const Received cut = rx.receive(into.data(), into.size());
  EXPECT_EQ(cut.length, 64);  // Winsock's WSAEMSGSIZE is not a failure here
  EXPECT_EQ(into[63], 0xAB);
  const Received empty = rx.receive(into.data(), into.size());
  EXPECT_EQ(empty.length, 0);
  EXPECT_FALSE(empty.drop_count_valid);
}

TEST_F(UdpSocketWin, InterruptWakesABlockedReceiveAndEveryLaterOne) {
  UdpSocket rx = bound_receiver();
  uint8_t byte = 0;
  long long first = 99;
  long long second = 99;
  std::thread receiver([&] {
    first = rx.receive(&byte, 1).length;
    second = rx.receive(&byte, 1).length;
  });
  // Most likely the receive is waiting by now; either way it must end.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rx.interrupt();
  receiver.join();
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 0);
  EXPECT_TRUE(rx.is_open());  // the socket itself stays until its owner closes it
}

// Datagrams still queued do not keep an interrupted receive going.
TEST_F(UdpSocketWin, AnInterruptedSocketReturnsAtOnceEvenWithDatagramsQueued) {
  UdpSocket rx = bound_receiver();
  UdpSocket tx;
  ASSERT_EQ(tx.create(), 0);
  const uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_EQ(tx.send_to(data, sizeof data, loopback(rx.local_port())), 4);
  rx.interrupt();
  uint8_t into[4] = {};
  EXPECT_EQ(rx.receive(into, sizeof into).length, 0);
  rx.close();
  EXPECT_FALSE(rx.is_open());
  rx.interrupt();  // harmless once closed
  EXPECT_LT(rx.receive(into, sizeof into).length, 0);
}

TEST_F(UdpSocketWin, BindFailsWhereAnotherSocketHoldsThePortExclusively) {
  const SOCKET holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(holder, INVALID_SOCKET);
  const BOOL exclusive = TRUE;
  ::setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int length = sizeof address;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  UdpSocket s;
  ASSERT_EQ(s.create(), 0);
  ASSERT_EQ(s.set_reuse_address(), 0);
  const int error = s.bind_any(ntohs(address.sin_port));
  EXPECT_TRUE(error == WSAEADDRINUSE || error == WSAEACCES) << error;
  EXPECT_NE(socket_error_text(error).find("(error " + std::to_string(error) + ")"), std::string::npos);
  ::closesocket(holder);
}

TEST_F(UdpSocketWin, ParsesDottedQuadsAndLocalhostOnly) {
  Endpoint e;
  EXPECT_TRUE(parse_ipv4("localhost", 7, e));
  EXPECT_EQ(e.address_be, htonl(INADDR_LOOPBACK));
  EXPECT_FALSE(parse_ipv4("256.1.1.1", 7, e));
  EXPECT_FALSE(parse_ipv4("example", 7, e));
}

}  // namespace
}  // namespace kivo::net
