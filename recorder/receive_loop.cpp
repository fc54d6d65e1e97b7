#include "receive_loop.h"

#include "kivo/datagram.h"
#include "kivo/end_of_receiving.h"

namespace kivo::recorder {
namespace {

constexpr size_t kProgressEvery = 100;

}  // namespace

ReceiveLoop::ReceiveLoop(net::UdpSocket& socket, BlockRing& ring, StopControl& control,
                         const Geometry& geometry, ConsolePrinter& printer)
    : socket_(socket),
      ring_(ring),
      control_(control),
      printer_(printer),
      datagram_bytes_(static_cast<size_t>(geometry.datagram_size_bytes)),
      nchans_(geometry.nchans),
      clock_(geometry.nsamp),
      anchors_(geometry.nsamp) {
  wrong_sizes_.reset(datagram_bytes_);
}

ReceiveOutcome ReceiveLoop::run() {
  while (!control_.stop_requested()) {
    size_t slots = 0;
    const Fill fill = fill_block(slots);
    if (fill == Fill::failed || control_.aborted()) {
      outcome_.not_handed_over = slots;
      break;
    }
    if (slots > 0) hand_over(slots);
    if (fill == Fill::cut_short) break;
  }
  return outcome_;
}

uint64_t ReceiveLoop::drain_queued() {
  return kivo::drain_queued(socket_, datagram_bytes_,
                            [this](const net::Received& received) { count_size(received); });
}

ReceiveLoop::Fill ReceiveLoop::fill_block(size_t& slots) {
  uint8_t* const block = ring_.filling();
  while (slots < static_cast<size_t>(kSlotsPerBlock)) {
    uint8_t* const slot = block + slots * datagram_bytes_;
    const net::Received received = socket_.receive(slot, datagram_bytes_);
    if (received.length < 0) {
      if (received.interrupted) continue;
      outcome_.receive_error = received.error;
      printer_.say(ConsoleStream::err, "recvfrom() failed: " + net::socket_error_text(received.error) + "\n");
      return Fill::failed;
    }
    // Once the loop is cut short, an empty result is the wake-up, not a datagram.
    if (received.length == 0 && control_.cut_short()) return Fill::cut_short;
    control_.note_arrival();
    note(received);
    note_size(slot, received);
    place(slot, received);
    note_sequence(slot, received);
    if (slots % kProgressEvery == 0) printer_.progress(sequence_number(slot));
    ++slots;
  }
  return Fill::complete;
}

void ReceiveLoop::hand_over(size_t slots) {
  ++outcome_.blocks;  // numbered as the ring numbers them
  if (ring_.hand_over(slots * datagram_bytes_)) {
    anchors_.keep_block();
    return;
  }
  anchors_.drop_block();
  ++outcome_.blocks_dropped;
  printer_.block_dropped(outcome_.blocks);
}

void ReceiveLoop::note(const net::Received& received) {
  ++outcome_.datagrams;
  if (received.drop_count_valid) outcome_.kernel_drops = received.kernel_drops;
}

// The clock places the datagram by its number and stamp; the anchors follow
// the number as the slot holds it (zeroed when the datagram was too short to
// carry one), as the file's readers will see it.
void ReceiveLoop::place(const uint8_t* slot, const net::Received& received) {
  const uint16_t sequence = sequence_number(slot);
  if (received.length < kHeaderBytes) {
    anchors_.note_unplaced(sequence);
    return;
  }
  anchors_.note(sequence, clock_.note(sequence, received.stamp).first_sample);
  stamp_sources_.note(received.kernel_stamp);
}

SampleTiming ReceiveLoop::timing() const { return stamp_sources_.named(clock_.timing()); }

// A break in the device's numbering is counted for the metadata and told
// to the printer, which says it.
void ReceiveLoop::note_sequence(const uint8_t* slot, const net::Received& received) {
  const uint16_t before = sequence_.last();
  if (!sequence_.note_datagram(slot, received.length)) return;
  ++outcome_.sequence_gaps;
  const uint16_t seq = sequence_number(slot);
  printer_.sequence_break(seq, static_cast<uint16_t>(seq - before - 1));
}

void ReceiveLoop::note_size(uint8_t* slot, const net::Received& received) {
  if (count_size(received)) zero_past_arrival(slot, received, datagram_bytes_);
}

// A datagram not of the channel count's size is counted, and the first one
// is said at once (queued for the printer: the console is never waited
// for). True when it is of a wrong size.
bool ReceiveLoop::count_size(const net::Received& received) {
  if (!wrong_sizes_.note(received)) return false;
  outcome_.wrong_size_datagrams = wrong_sizes_.count();
  outcome_.most_frequent_wrong_size = wrong_sizes_.most_frequent_length();
  if (wrong_sizes_.count() > 1) return true;
  const auto expected = static_cast<int32_t>(datagram_bytes_);
  printer_.say(ConsoleStream::err, first_wrong_size(arrived_length(received), expected, nchans_) + "\n");
  return true;
}

}  // namespace kivo::recorder
