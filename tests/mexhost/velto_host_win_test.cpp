// velto's Windows build in the MEX host: what only Windows does.
#include <winsock2.h>

#include <regex>

#include "velto_host.h"

namespace {

using namespace velto_host_test;

TEST(VeltoOpen, APortHeldExclusivelyCannotBeBound) {
  kivo::net::SocketLibrary library;
  const SOCKET holder = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(holder, INVALID_SOCKET);
  const BOOL exclusive = TRUE;
  setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);

  Velto velto;
  TempDir dir("velto_host");
  Outcome open = velto.call(1, text("open"), number(ntohs(address.sin_port)), number(8), text(dir.str().c_str()));
  EXPECT_TRUE(open.failed);
  EXPECT_EQ(open.error, "Cannot bind port");
  EXPECT_TRUE(std::regex_match(open.printed, std::regex("bind\\(\\) failed with error [0-9]+\n")))
      << open.printed;
  EXPECT_FALSE(velto.call(0, text("close")).failed);
  closesocket(holder);
}

}  // namespace
