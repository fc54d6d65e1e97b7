// The receive loop of the main thread: fills the ring's blocks one datagram
// per slot, publishes the progress line of every 100th datagram and each
// break in the sequence to the printer, and hands each block to the writer.
// It never waits for the console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "block_ring.h"
#include "console_printer.h"
#include "kivo/geometry.h"
#include "kivo/sample_clock.h"
#include "kivo/sample_timing.h"
#include "kivo/sequence_tracker.h"
#include "kivo/slot_anchors.h"
#include "kivo/udp_socket.h"
#include "kivo/wrong_size.h"
#include "stop_control.h"

namespace kivo::recorder {

// How the loop ended.
struct ReceiveOutcome {
  int receive_error = 0;                   // error code of a failed receive; 0 otherwise
  uint64_t datagrams = 0;                  // slots taken
  uint64_t blocks = 0;                     // blocks handed over, the last one maybe partial
  uint64_t blocks_dropped = 0;             // completed blocks the writer had no room for
  uint32_t kernel_drops = 0;               // datagrams the system dropped on the socket
  uint64_t sequence_gaps = 0;              // datagrams not numbered previous + 1
  uint64_t not_handed_over = 0;            // datagrams of a block that did not go to the writer
  uint64_t wrong_size_datagrams = 0;       // datagrams not of the channel count's size
  long long most_frequent_wrong_size = 0;  // their most frequent length (kivo/wrong_size.h)
};

class ReceiveLoop {
 public:
  ReceiveLoop(net::UdpSocket& socket, BlockRing& ring, StopControl& control, const Geometry& geometry,
              ConsolePrinter& printer);

  // Main thread: receives until a console stop (after the block in progress,
  // or at once when it is cut short), a failed receive, or the writer gives
  // up. A block cut short goes to the writer with the slots it has; the block
  // in progress at a failed receive does not.
  ReceiveOutcome run();
  // Main thread, once run() has ended: takes the datagrams still queued on
  // the socket (kivo/end_of_receiving.h), counting those of a wrong size;
  // returns how many it took.
  uint64_t drain_queued();
  const ReceiveOutcome& outcome() const { return outcome_; }
  // Main thread, once run() has ended: the device's clock fitted to the
  // receive stamps of the datagrams that took a slot, and the slots of the
  // blocks handed over that the file's numbers alone do not place.
  SampleTiming timing() const;
  std::vector<SlotAnchor> anchors() const { return anchors_.anchors(); }

 private:
  enum class Fill { complete, cut_short, failed };
  Fill fill_block(size_t& slots);
  void hand_over(size_t slots);
  void note(const net::Received& received);
  void note_sequence(const uint8_t* slot, const net::Received& received);
  void note_size(uint8_t* slot, const net::Received& received);
  bool count_size(const net::Received& received);
  void place(const uint8_t* slot, const net::Received& received);

  net::UdpSocket& socket_;
  BlockRing& ring_;
  StopControl& control_;
  ConsolePrinter& printer_;
  const size_t datagram_bytes_;
  const uint32_t nchans_;
  WrongSizeTally wrong_sizes_;
  ReceiveOutcome outcome_;
  SequenceTracker sequence_;  // for the metadata file: breaks in the device's numbering
  // For the metadata file: the file stores no stamps, so its times come
  // from this fit of the stamps seen here.
  SampleClock clock_;
  AnchorLog anchors_;
  StampSourceTally stamp_sources_;
};

}  // namespace kivo::recorder
