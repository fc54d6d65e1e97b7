// The test programs of the Windows build start the socket library for their
// whole run, as a Windows program that uses sockets does before its first
// socket; suites shared with POSIX rely on it.
#include <gtest/gtest.h>

#include "kivo/udp_socket.h"

int main(int argc, char** argv) {
  kivo::net::SocketLibrary winsock;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
