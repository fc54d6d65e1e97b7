// The receiver: the socket, the receiver thread, and the two blocks of
// stamped slots that it fills in turn, one receive per datagram straight
// into its slot. Each full block goes to the saver through the handover;
// each datagram is placed on the sample clock and published for 'read' and
// 'samples', and a caller waiting for one is woken. At 'close' the datagrams
// still queued on the socket go into the block in progress, which is saved.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "kivo/arrival_signal.h"
#include "kivo/block_handover.h"
#include "kivo/console.h"
#include "kivo/file_rows.h"
#include "kivo/geometry.h"
#include "kivo/latest_datagram.h"
#include "kivo/sample_clock.h"
#include "kivo/sample_delivery.h"
#include "kivo/sample_timing.h"
#include "kivo/sequence_tracker.h"
#include "kivo/shared_clock.h"
#include "kivo/status.h"
#include "kivo/udp_socket.h"
#include "kivo/wrong_size.h"

namespace kivo {

class Receiver {
 public:
  Receiver(StatusCounters& counters, BlockHandover& handover, LatestDatagram& latest,
           SampleDelivery& delivery, ArrivalSignal& arrivals);
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // host thread, while no receiver runs: two cleared blocks for `geometry`,
  // and a sample clock for its nsamp.
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
  // host thread of a forked child: lets go of the socket without shutting it
  // down (the parent's receiver waits on it) and of the thread, which runs
  // only in the parent.
  void forget();

  // The block that receive_to_the_end() leaves in progress: `datagrams`
  // slots of `half` (0: none).
  struct LastBlock {
    unsigned half = 0;
    size_t datagrams = 0;
  };
  // host thread, after join(): takes the datagrams still queued on the
  // socket into the block in progress, as the receiver thread takes them
  // (counted, placed on the clock, published for 'samples'). A block that
  // 'close' kept the receiver from handing over, and each block that the
  // queue fills, goes to `save_full` (its half). Then reads the system's
  // final drop count.
  LastBlock receive_to_the_end(const std::function<void(unsigned half)>& save_full);
  // host thread, after join(): the device's clock fitted to the stamps of
  // the datagrams that took a slot.
  kivo::SampleTiming timing() const;
  // Any thread: the clock's lines as the receiver last published them.
  const SharedClockLines& clock_lines() const { return lines_; }
  // Any thread: the rows of the raw file that the datagrams taken fill.
  const SharedFileRows& file_rows() const { return rows_; }
  // host thread, after join(): the datagrams not of the expected size.
  const kivo::WrongSizeTally& wrong_sizes() const { return wrong_sizes_; }
  // host thread, after join(): receiving ended because another process that
  // shares the socket shut it down.
  bool shut_down_elsewhere() const { return shut_down_elsewhere_.load(); }
  // Any thread: the length of the first datagram not of the expected size
  // since start() (kivo/wrong_size.h), or nothing while there was none.
  std::optional<long long> first_wrong_size() const;

 private:
  // How far the receiver thread got with its last block when it stopped.
  enum class Stage { unclaimed, filling, full };
  struct Stopped {
    uint32_t number = 0;  // the block
    Stage stage = Stage::unclaimed;
    size_t taken = 0;  // its datagrams
  };

  void run();
  bool receive_block(uint32_t number, unsigned half, size_t& taken);
  void take_datagram(uint8_t* slot, uint64_t file_slot, const kivo::net::Received& received);
  int64_t place(const uint8_t* datagram, const kivo::net::Received& received, double stamp);
  void note_size(uint8_t* datagram, const kivo::net::Received& received);
  bool count_size(const kivo::net::Received& received);

  StatusCounters& counters_;
  BlockHandover& handover_;
  LatestDatagram& latest_;
  SampleDelivery& delivery_;
  ArrivalSignal& arrivals_;

  // Fixed by size_blocks() while no receiver runs.
  size_t datagram_bytes_ = 0;
  size_t slot_bytes_ = 0;
  size_t block_bytes_ = 0;
  // Receiver thread writes a half it has claimed; the saver reads a half
  // handed over; 'read' copies published slots (see LatestDatagram).
  std::vector<uint8_t> blocks_;

  // host thread only.
  std::optional<kivo::net::SocketLibrary> socket_library_;
  uint64_t queue_limit_ = 0;  // the most datagrams the socket's buffer holds
  // Receiver thread receives; the host thread opens, interrupts and closes it.
  kivo::net::UdpSocket socket_;
  // host thread writes, receiver thread reads: false once 'close' began.
  std::atomic<bool> keep_receiving_{false};
  // Receiver thread sets it, the host thread resets and reads it.
  std::atomic<bool> shut_down_elsewhere_{false};
  // host thread starts and joins it.
  std::thread thread_;
  // Receiver thread only while it runs; the host thread resets them before
  // and uses them after.
  kivo::SequenceTracker sequence_;
  kivo::WrongSizeTally wrong_sizes_;
  kivo::StampSourceTally stamp_sources_;
  // Receiver thread only while it runs; the host thread sets it up in
  // size_blocks() (its memory is allocated there) and reads it after join().
  kivo::SampleClock clock_{1};
  int64_t last_first_sample_ = 0;
  Stopped stopped_;
  // Receiver thread publishes, any thread reads.
  SharedClockLines lines_;
  SharedFileRows rows_;
  // Receiver thread (the host thread after join) writes it once per start(),
  // any thread reads: the first wrong length, kNoWrongSize before.
  static constexpr long long kNoWrongSize = -2;
  std::atomic<long long> first_wrong_size_{kNoWrongSize};
};

}  // namespace kivo
