#include "kivo/receiver.h"

#include <cstring>

#include "kivo/clock.h"
#include "kivo/datagram_bookkeeping.h"
#include "kivo/end_of_receiving.h"
#include "kivo/receive_buffer.h"
#include "kivo/socket_messages.h"
#include "kivo/thread_signals.h"

namespace kivo {

Receiver::Receiver(StatusCounters& counters, BlockHandover& handover, LatestDatagram& latest)
    : counters_(counters), handover_(handover), latest_(latest) {}

void Receiver::size_blocks(const kivo::Geometry& geometry) {
  datagram_bytes_ = static_cast<size_t>(geometry.datagram_size_bytes);
  slot_bytes_ = static_cast<size_t>(geometry.stamped_slot_bytes);
  block_bytes_ = static_cast<size_t>(geometry.stamped_block_bytes);
  // A resize to the same size neither allocates nor moves. The bytes are
  // cleared: slots that failed receives leave unfilled are saved as they
  // stand, and must not hold an earlier acquisition's samples (of another
  // channel count, perhaps) as if they were this one's.
  blocks_.assign(2 * block_bytes_, 0);
}

int Receiver::open_socket(uint16_t port, int buffer_request, const Console& console) {
  auto fail = [&console](SocketStep step, int code) {
    const SocketFailure failure = describe_socket_failure(step, code);
    if (!failure.printed.empty()) console(Severity::error, failure.printed);
    throw AcquisitionError(FailureKind::set_up, failure.raised);
  };
  // The socket library (Winsock) is started for each acquisition and released
  // by 'close', so an 'open' after 'close' finds it running again.
  if (!socket_library_) socket_library_.emplace();
  if (int code = socket_.create()) fail(SocketStep::create, code);
  if (int code = socket_.set_reuse_address()) fail(SocketStep::reuse_address, code);
  if (int code = socket_.bind_any(port)) fail(SocketStep::bind, code);
  const int wanted =
      buffer_request > 0 ? buffer_request : receive_buffer_request(static_cast<int32_t>(block_bytes_));
  const int granted = socket_.request_receive_buffer(wanted);
  socket_.enable_drop_count();
  return granted;
}

void Receiver::close_socket() {
  socket_.close();
  socket_library_.reset();
}

void Receiver::start() {
  sequence_.reset();
  wrong_sizes_.reset(datagram_bytes_);
  first_wrong_size_.store(kNoWrongSize);
  keep_receiving_.store(true);
  thread_ = std::thread(&Receiver::run, this);
}

void Receiver::stop() {
  keep_receiving_.store(false);
  socket_.interrupt();  // wakes a receive that is waiting for a datagram
}

void Receiver::join() {
  if (thread_.joinable()) thread_.join();
}

void Receiver::run() {
  kivo::block_signals_in_this_thread();
  unsigned half = 0;
  for (uint32_t number = 0; keep_receiving_.load(); ++number, half ^= 1U) {
    bool waited = false;
    const bool claimed = handover_.claim(half, waited);
    // A stall that 'close' ends is a stall all the same.
    if (waited) counters_.writer_stalls.fetch_add(1, std::memory_order_relaxed);
    if (!claimed) return;
    latest_.begin_block(number);
    size_t taken = 0;
    // A block cut short by 'close', or completed after 'close' began, is not saved.
    if (!receive_block(number, half, taken) || !keep_receiving_.load()) {
      counters_.datagrams_not_saved.fetch_add(taken, std::memory_order_relaxed);
      return;
    }
    handover_.hand_over(half);
  }
}

// Makes 1000 receive attempts into `half`; `taken` counts the datagrams that
// took a slot. Returns false when 'close' stopped the block part-way.
bool Receiver::receive_block(uint32_t number, unsigned half, size_t& taken) {
  size_t offset = half * block_bytes_;
  int attempts = 0;
  while (attempts < kivo::kSlotsPerBlock) {
    if (!keep_receiving_.load(std::memory_order_relaxed)) return false;
    uint8_t* slot = blocks_.data() + offset;
    uint8_t* datagram = slot + kivo::kStampBytes;
    const kivo::net::Received received = socket_.receive(datagram, datagram_bytes_);
    if (received.interrupted) continue;  // a signal is not a receive
    ++attempts;
    if (received.length <= 0) {
      if (!keep_receiving_.load()) return false;  // woken by 'close'
      // An error or an empty datagram uses up the attempt and takes no slot.
      counters_.failed_receives.fetch_add(1, std::memory_order_relaxed);
      if (received.length == 0) note_size(datagram, received);
      continue;
    }
    note_size(datagram, received);
    const double stamp = kivo::unix_time_seconds();
    std::memcpy(slot, &stamp, sizeof stamp);
    count_datagram(counters_, sequence_, datagram, received);
    latest_.publish(number, offset, static_cast<size_t>(received.length));
    offset += slot_bytes_;
    ++taken;
  }
  return true;
}

// Counts a datagram that is not of the channel count's size. A short one
// that took a slot leaves it zero beyond what arrived, not holding an earlier
// datagram's samples; an empty one takes no slot and leaves it as it is.
void Receiver::note_size(uint8_t* datagram, const kivo::net::Received& received) {
  if (!count_size(received)) return;
  if (received.length > 0) kivo::zero_past_arrival(datagram, received, datagram_bytes_);
}

// Counts a datagram not of the expected size, keeping the first one's length
// for the host thread to name; true when it was one.
bool Receiver::count_size(const kivo::net::Received& received) {
  if (!wrong_sizes_.note(received)) return false;
  if (wrong_sizes_.count() == 1)
    first_wrong_size_.store(kivo::arrived_length(received), std::memory_order_relaxed);
  counters_.wrong_size_datagrams.fetch_add(1, std::memory_order_relaxed);
  return true;
}

std::optional<long long> Receiver::first_wrong_size() const {
  const long long length = first_wrong_size_.load(std::memory_order_relaxed);
  if (length == kNoWrongSize) return std::nullopt;
  return length;
}

// The datagrams still queued are counted as received but not saved (and as
// of a wrong size, as the receiver counts them), and the system's own drop
// count, which also holds the drops after the last datagram received,
// replaces the one that datagram brought when it is larger.
void Receiver::count_to_the_end() {
  auto note = [this](const kivo::net::Received& received) { count_size(received); };
  const uint64_t drained = kivo::drain_queued(socket_, datagram_bytes_, note);
  counters_.datagrams.fetch_add(drained, std::memory_order_relaxed);
  counters_.datagrams_not_saved.fetch_add(drained, std::memory_order_relaxed);
  counters_.kernel_drops.store(kivo::kernel_drops_at_end(socket_, counters_.kernel_drops.load()));
}

}  // namespace kivo
