// The Winsock socket's own cases: an interrupted socket with datagrams still
// queued, and a port held exclusively. Receiving, cutting long datagrams and
// waking a blocked receive are in tests/stream/platform_common_test.cpp.
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
    EXPECT_EQ(s.set_address_option(), 0);
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
  ASSERT_EQ(s.set_address_option(), 0);
  const int error = s.bind_any(ntohs(address.sin_port));
  EXPECT_TRUE(error == WSAEADDRINUSE || error == WSAEACCES) << error;
  // The system's text where it has one (wine has none for Winsock's codes), and the code.
  EXPECT_NE(socket_error_text(error).find("error " + std::to_string(error)), std::string::npos);
  ::closesocket(holder);
}

}  // namespace
}  // namespace kivo::net
