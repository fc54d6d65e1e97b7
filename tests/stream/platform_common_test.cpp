// The cases of the socket and block file that hold alike on every platform,
// built into the stream suite for Linux and for Windows (run under wine).
// Each platform's own cases (error codes, sharing, kernel drop counts) stay
// in its own file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "kivo/block_file.h"
#include "kivo/clock.h"
#include "kivo/udp_socket.h"
#include "scratch_folder.h"

namespace kivo {
namespace {

namespace fs = std::filesystem;

class SocketCommon : public ::testing::Test {
 protected:
  static net::UdpSocket bound_receiver() {
    net::UdpSocket s;
    EXPECT_EQ(s.create(), 0);
    EXPECT_EQ(s.set_address_option(), 0);
    EXPECT_EQ(s.bind_any(0), 0);
    return s;
  }
  static net::Endpoint loopback(uint16_t port) {
    net::Endpoint to;
    EXPECT_TRUE(net::parse_ipv4("127.0.0.1", port, to));
    return to;
  }

  net::SocketLibrary library_;
};

TEST_F(SocketCommon, ReceivesWholeDatagramsAndCutsLongOnes) {
  ASSERT_TRUE(library_.started());
  net::UdpSocket rx = bound_receiver();
  net::UdpSocket tx;
  ASSERT_EQ(tx.create(), 0);
  const std::vector<uint8_t> data(100, 0xAB);
  ASSERT_EQ(tx.send_to(data.data(), 40, loopback(rx.local_port())), 40);
  ASSERT_EQ(tx.send_to(data.data(), 100, loopback(rx.local_port())), 100);
  ASSERT_EQ(tx.send_to(data.data(), 0, loopback(rx.local_port())), 0);
  std::vector<uint8_t> into(64, 0);
  const net::Received whole = rx.receive(into.data(), into.size());
  EXPECT_EQ(whole.length, 40);
  EXPECT_FALSE(whole.cut);
  const net::Received cut = rx.receive(into.data(), into.size());
  EXPECT_EQ(cut.length, 64);  // a long datagram is cut, not a failure, and says so
  EXPECT_TRUE(cut.cut);
  EXPECT_TRUE(cut.full_length == 100 || cut.full_length == 0) << cut.full_length;  // 0: not told
  EXPECT_EQ(into[63], 0xAB);
  const net::Received empty = rx.receive(into.data(), into.size());
  EXPECT_EQ(empty.length, 0);
  EXPECT_FALSE(empty.shut_down);  // an empty datagram is one
  EXPECT_FALSE(empty.drop_count_valid);
}

// A second socket set up as the first, in this process or another, would
// take the datagrams where the system let it bind the port.
TEST_F(SocketCommon, ASecondSocketCannotBindAPortAlreadyBound) {
  net::UdpSocket first = bound_receiver();
  net::UdpSocket second;
  ASSERT_EQ(second.create(), 0);
  ASSERT_EQ(second.set_address_option(), 0);
  EXPECT_NE(second.bind_any(first.local_port()), 0);
}

// At the end of an acquisition the socket is woken and what is still queued
// is taken, each with its length: empty and long datagrams too, never
// waiting for more.
TEST_F(SocketCommon, DrainTakesWhatIsQueuedAfterTheWakeUpWithoutWaiting) {
  net::UdpSocket rx = bound_receiver();
  net::UdpSocket tx;
  ASSERT_EQ(tx.create(), 0);
  const std::vector<uint8_t> data(100, 0xAB);
  for (const size_t size : {40, 100, 0, 40}) {
    ASSERT_EQ(tx.send_to(data.data(), size, loopback(rx.local_port())), static_cast<long long>(size));
  }
  std::vector<uint8_t> into(64, 0);
  ASSERT_EQ(rx.receive(into.data(), into.size()).length, 40);
  rx.interrupt();
  const net::Received cut = rx.receive_queued(into.data(), into.size());
  EXPECT_EQ(cut.length, 64);
  EXPECT_TRUE(cut.cut);
  EXPECT_TRUE(cut.full_length == 100 || cut.full_length == 0) << cut.full_length;  // 0: not told
  EXPECT_EQ(rx.receive_queued(into.data(), into.size()).length, 0);
  EXPECT_EQ(rx.receive_queued(into.data(), into.size()).length, 40);
  EXPECT_LT(rx.receive_queued(into.data(), into.size()).length, 0);
}

// A kernel stamp is the datagram's arrival, before its receive began; without
// one (Windows, or not asked for) the receive stamps it as it returns. Linux
// turns its stamping on a moment after it is first asked for, and stamps what
// arrives before then as it is received: a few datagrams may go first.
TEST_F(SocketCommon, StampsEachDatagramOnTheWallClockAtArrivalWhereTheKernelCan) {
  for (const bool ask_kernel : {true, false}) {
    net::UdpSocket rx = bound_receiver();
    const bool kernel = ask_kernel && rx.enable_kernel_stamps();
    net::UdpSocket tx;
    ASSERT_EQ(tx.create(), 0);
    bool stamped_at_arrival = false;
    for (int attempt = 0; attempt < (kernel ? 100 : 1) && !stamped_at_arrival; ++attempt) {
      const uint8_t byte = 1;
      const double sent = unix_time_seconds();
      ASSERT_EQ(tx.send_to(&byte, 1, loopback(rx.local_port())), 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // long queued
      const double receiving = unix_time_seconds();
      uint8_t into = 0;
      const net::Received r = rx.receive(&into, 1);
      ASSERT_EQ(r.length, 1);
      EXPECT_EQ(r.kernel_stamp, kernel);
      EXPECT_GE(r.stamp, sent);
      stamped_at_arrival = r.stamp < receiving;
    }
    EXPECT_EQ(stamped_at_arrival, kernel);
  }
}

TEST_F(SocketCommon, InterruptWakesABlockedReceiveAndEveryLaterOne) {
  net::UdpSocket rx = bound_receiver();
  uint8_t byte = 0;
  net::Received first;
  net::Received second;
  std::thread receiver([&] {
    first = rx.receive(&byte, 1);
    second = rx.receive(&byte, 1);
  });
  // Most likely the receive is waiting by now; either way it must end.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rx.interrupt();
  receiver.join();
  EXPECT_TRUE(first.length == 0 && first.shut_down);
  EXPECT_TRUE(second.length == 0 && second.shut_down);
  EXPECT_TRUE(rx.is_open());  // the socket itself stays until its owner closes it
}

TEST_F(SocketCommon, ParsesDottedQuadsAndLocalhostOnly) {
  net::Endpoint e;
  EXPECT_TRUE(net::parse_ipv4("localhost", 7, e));
  const uint8_t loopback_bytes[4] = {127, 0, 0, 1};  // network order
  EXPECT_EQ(std::memcmp(&e.address_be, loopback_bytes, sizeof loopback_bytes), 0);
  EXPECT_EQ(e.port, 7);
  EXPECT_FALSE(net::parse_ipv4("256.1.1.1", 7, e));
  EXPECT_FALSE(net::parse_ipv4("example", 7, e));
}

class BlockFileCommon : public ::testing::Test {
 protected:
  static std::vector<uint8_t> block(uint8_t fill) { return std::vector<uint8_t>(1000, fill); }

  kivo_test::TempDir folder_{"block_file_common"};
  const fs::path dir_ = folder_.path();
};

TEST_F(BlockFileCommon, AppendsWholeBlocksInOrderAndTruncatesAnExistingFile) {
  const fs::path path = dir_ / "a.dat";
  std::ofstream(path) << "left from an earlier run";
  BlockFile file;
  ASSERT_EQ(file.open(path.string(), FileMode::create_or_truncate), 0);
  ASSERT_EQ(file.append(block(1).data(), 1000), 0);
  ASSERT_EQ(file.append(block(2).data(), 1000), 0);
  EXPECT_EQ(file.bytes_written(), 2000U);
  EXPECT_EQ(file.close(), 0);
  const auto bytes = kivo_test::file_contents(path);
  ASSERT_EQ(bytes.size(), 2000U);
  EXPECT_EQ(bytes[999], 1);
  EXPECT_EQ(bytes[1000], 2);
}

}  // namespace
}  // namespace kivo
