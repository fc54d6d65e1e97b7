// The receiver: the socket, the receiver thread, and the two blocks of
// stamped slots that it fills in turn, one receive per datagram straight
// into its slot. Each full block goes to the saver through the handover, and
// each datagram is published for 'read'.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "kivo/block_handover.h"
#include "kivo/console.h"
#include "kivo/geometry.h"
#include "kivo/latest_datagram.h"
#include "kivo/sequence_tracker.h"
#include "kivo/status.h"
#include "kivo/udp_socket.h"
#include "kivo/wrong_size.h"

namespace kivo {

class Receiver {
 public:
  Receiver(StatusCounters& counters, BlockHandover& handover, LatestDatagram& latest);
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // host thread, while no receiver runs: two cleared blocks for `geometry`.
  void size_blocks(const kivo::Geometry& geometry);
  // Any thread: the two blocks, one after the other. The saver reads only a
  // half handed over to it.
  const uint8_t* blocks() const { return blocks_.data(); }

  // host thread: binds `port` and asks for `buffer_request` bytes of
  // receive buffer (0: the acquisition's own request); returns what the
  // system granted. Throws AcquisitionError (set_up).
  int open_socket(uint16_t port, int buffer_request, const Console& console);
  // host thread, after join(); harmless when nothing is open.
  void close_socket();

  // host thread: starts the receiver thread; throws std::system_error.
  void start();
  // host thread: asks the receiver thread to stop and wakes its receive.
  void stop();
  // host thread: waits for the receiver thread to end; harmless when none runs.
  void join();

  // host thread, after join(): takes the datagrams still queued on the
  // socket, counted as received but not saved, and the system's final drop count.
  void count_to_the_end();
  // host thread, after join(): the datagrams not of the expected size.
  const kivo::WrongSizeTally& wrong_sizes() const { return wrong_sizes_; }
  // Any thread: the length of the first datagram not of the expected size
  // since start() (kivo/wrong_size.h), or nothing while there was none.
  std::optional<long long> first_wrong_size() const;

 private:
  void run();
  bool receive_block(uint32_t number, unsigned half, size_t& taken);
  void note_size(uint8_t* datagram, const kivo::net::Received& received);
  bool count_size(const kivo::net::Received& received);

  StatusCounters& counters_;
  BlockHandover& handover_;
  LatestDatagram& latest_;

  // Fixed by size_blocks() while no receiver runs.
  size_t datagram_bytes_ = 0;
  size_t slot_bytes_ = 0;
  size_t block_bytes_ = 0;
  // Receiver thread writes a half it has claimed; the saver reads a half
  // handed over; 'read' copies published slots (see LatestDatagram).
  std::vector<uint8_t> blocks_;

  // host thread only.
  std::optional<kivo::net::SocketLibrary> socket_library_;
  // Receiver thread receives; the host thread opens, interrupts and closes it.
  kivo::net::UdpSocket socket_;
  // host thread writes, receiver thread reads: false once 'close' began.
  std::atomic<bool> keep_receiving_{false};
  // host thread starts and joins it.
  std::thread thread_;
  // Receiver thread only while it runs; the host thread resets them before.
  kivo::SequenceTracker sequence_;
  kivo::WrongSizeTally wrong_sizes_;
  // Receiver thread (the host thread after join) writes it once per start(),
  // any thread reads: the first wrong length, kNoWrongSize before.
  static constexpr long long kNoWrongSize = -2;
  std::atomic<long long> first_wrong_size_{kNoWrongSize};
};

}  // namespace kivo
