// velto's Windows build in the MEX host: what only Windows does or says.
#include <winsock2.h>

#include <regex>

#include "kivo/udp_socket.h"
#include "velto_host.h"

namespace {

using namespace velto_host_test;

TEST(VeltoOpen, APortHeldExclusivelyCannotBeBound) {
  kivo::net::SocketLibrary library;
  const SOCKET holder = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(holder, INVALID_SOCKET);
  const BOOL exclusive = TRUE;
  setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof exclusive);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);

  Velto velto;
  TempDir dir("velto_host");
  Outcome open =
      velto.call(1, text("open"), number(ntohs(address.sin_port)), number(8), text(dir.str().c_str()));
  EXPECT_TRUE(open.failed);
  EXPECT_EQ(open.error, "Cannot bind port");
  EXPECT_TRUE(std::regex_match(open.printed, std::regex("bind\\(\\) failed with error [0-9]+\n")))
      << open.printed;
  EXPECT_FALSE(velto.call(0, text("close")).failed);
  EXPECT_TRUE(dir.files(".dat").empty());  // the failed 'open' took its file back
  EXPECT_TRUE(dir.files(".json").empty());
  closesocket(holder);
}

// velto binds its port exclusively: a second socket cannot bind it and take
// the datagrams, though it asks for address reuse, as velto once did itself.
TEST(VeltoOpen, ASecondOpenerOfThePortIsRefusedAndVeltoKeepsEveryDatagram) {
  Velto velto;
  TempDir dir("velto_host");
  const uint16_t port = free_udp_port();
  ASSERT_FALSE(velto.call(1, text("open"), number(port), number(8), text(dir.str().c_str())).failed);
  kivo::net::SocketLibrary library;
  const SOCKET second = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(second, INVALID_SOCKET);
  const BOOL reuse = TRUE;
  setsockopt(second, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  EXPECT_EQ(bind(second, reinterpret_cast<sockaddr*>(&address), sizeof address), SOCKET_ERROR);
  closesocket(second);
  ASSERT_EQ(run_kivosim(pattern_run(port, 8, 1200)), 0);
  ASSERT_TRUE(wait_for_status(velto, [](const Outcome& s) { return s.number("datagrams") == 1200; }));
  EXPECT_FALSE(velto.call(0, text("close")).failed);
}

// A device sending 8 channels to an acquisition told 4: Winsock cuts each
// datagram without telling its length; each is counted and 'close' says so.
TEST(VeltoAcquisition, AWrongChannelCountIsCountedAndWarned) {
  Velto velto;
  TempDir dir("velto_host");
  const uint16_t port = free_udp_port();
  ASSERT_FALSE(velto.call(1, text("open"), number(port), number(4), text(dir.str().c_str())).failed);
  ASSERT_EQ(run_kivosim(pattern_run(port, 8, 1200)), 0);
  ASSERT_TRUE(wait_for_status(velto, [](const Outcome& s) { return s.number("datagrams") == 1200; }));
  EXPECT_EQ(velto.call(1, text("status")).number("wrong_size_datagrams"), 1200);
  Outcome close = velto.call(0, text("close"));
  EXPECT_EQ(
      close.printed,
      "velto: warning: 1200 datagram(s) of more than 1012 bytes arrived where 1012 bytes are expected for 4 "
      "channels; check the channel count\n");
}

}  // namespace
