#include "kivo/receiver.h"

#include <algorithm>
#include <cstring>

#include "kivo/datagram.h"
#include "kivo/datagram_bookkeeping.h"
#include "kivo/end_of_receiving.h"
#include "kivo/process.h"
#include "kivo/receive_buffer.h"
#include "kivo/socket_messages.h"
#include "kivo/thread_signals.h"

namespace kivo {

Receiver::Receiver(StatusCounters& counters, BlockHandover& handover, LatestDatagram& latest,
                   SampleDelivery& delivery, ArrivalSignal& arrivals)
    : counters_(counters), handover_(handover), latest_(latest), delivery_(delivery), arrivals_(arrivals) {}

void Receiver::size_blocks(const kivo::Geometry& geometry) {
  datagram_bytes_ = static_cast<size_t>(geometry.datagram_size_bytes);
  slot_bytes_ = static_cast<size_t>(geometry.stamped_slot_bytes);
  block_bytes_ = static_cast<size_t>(geometry.stamped_block_bytes);
  // A resize to the same size neither allocates nor moves. The bytes are
  // cleared: slots that failed receives leave unfilled are saved as they
  // stand, and must not hold an earlier acquisition's samples (of another
  // channel count, perhaps) as if they were this one's.
  blocks_.assign(2 * block_bytes_, 0);
  clock_ = kivo::SampleClock(geometry.nsamp);
  last_first_sample_ = -int64_t{geometry.nsamp};
  lines_.reset();
  rows_.reset(geometry.nsamp);
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
  if (int code = socket_.set_address_option()) fail(SocketStep::address_option, code);
  if (int code = socket_.bind_any(port)) fail(SocketStep::bind, code);
  const int wanted =
      buffer_request > 0 ? buffer_request : receive_buffer_request(static_cast<int32_t>(block_bytes_));
  const int granted = socket_.request_receive_buffer(wanted);
  socket_.enable_drop_count();
  socket_.enable_kernel_stamps();
  queue_limit_ = static_cast<uint64_t>(std::max(granted, wanted)) / datagram_bytes_ + 1;
  return granted;
}

void Receiver::close_socket() {
  socket_.close();
  socket_library_.reset();
}

void Receiver::start() {
  sequence_.reset();
  wrong_sizes_.reset(datagram_bytes_);
  stamp_sources_ = {};
  first_wrong_size_.store(kNoWrongSize);
  keep_receiving_.store(true);
  shut_down_elsewhere_.store(false);
  thread_ = std::thread(&Receiver::run, this);
}

void Receiver::stop() {
  keep_receiving_.store(false);
  socket_.interrupt();  // wakes a receive that is waiting for a datagram
}

void Receiver::join() {
  if (thread_.joinable()) thread_.join();
}

void Receiver::forget() {
  kivo::abandon_thread(thread_);
  socket_.close();  // this process's descriptor alone
  socket_library_.reset();
}

void Receiver::run() {
  kivo::block_signals_in_this_thread();
  unsigned half = 0;
  uint32_t number = 0;
  for (; keep_receiving_.load(); ++number, half ^= 1U) {
    bool waited = false;
    const bool claimed = handover_.claim(half, waited);
    // A stall that 'close' ends is a stall all the same.
    if (waited) counters_.writer_stalls.fetch_add(1, std::memory_order_relaxed);
    if (!claimed) break;
    latest_.begin_block(number);
    delivery_.begin_block(number);
    stopped_ = {number, Stage::filling, 0};
    // A block cut short by 'close', or completed after 'close' began (when
    // the saver may have ended), is left to receive_to_the_end().
    if (!receive_block(number, half, stopped_.taken)) return;
    if (!keep_receiving_.load()) {
      stopped_.stage = Stage::full;
      return;
    }
    handover_.hand_over(half);
  }
  stopped_ = {number, Stage::unclaimed, 0};
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
    if (received.shut_down) {
      // Woken by 'close', or shut down by a process that shares the socket:
      // nothing more will arrive, and every later receive would return at
      // once, empty.
      if (keep_receiving_.load()) shut_down_elsewhere_.store(true);
      return false;
    }
    ++attempts;
    if (received.length <= 0) {
      if (!keep_receiving_.load()) return false;  // woken by 'close'
      // An error or an empty datagram uses up the attempt and takes no slot.
      counters_.failed_receives.fetch_add(1, std::memory_order_relaxed);
      if (received.length == 0) note_size(datagram, received);
      continue;
    }
    take_datagram(slot, uint64_t{number} * static_cast<uint64_t>(kivo::kSlotsPerBlock) + taken, received);
    latest_.publish(number, offset, static_cast<size_t>(received.length));
    arrivals_.announce();
    offset += slot_bytes_;
    ++taken;
  }
  return true;
}

// What every datagram that takes a slot goes through, in the receiver thread
// and at 'close': its size, its stamp, the counters, its place on the clock
// and in the file (slot `file_slot` of the raw file), and its publication
// for 'samples'.
void Receiver::take_datagram(uint8_t* slot, uint64_t file_slot, const kivo::net::Received& received) {
  uint8_t* datagram = slot + kivo::kStampBytes;
  note_size(datagram, received);
  const double stamp = received.stamp;
  std::memcpy(slot, &stamp, sizeof stamp);
  count_datagram(counters_, sequence_, datagram, received);
  const int64_t first_sample = place(datagram, received, stamp);
  rows_.note(file_slot, first_sample);
  delivery_.publish(first_sample);
}

// The datagram's first sample. One too short to carry a sequence number
// takes the place after the datagram before it.
int64_t Receiver::place(const uint8_t* datagram, const kivo::net::Received& received, double stamp) {
  if (received.length < kivo::kHeaderBytes) return last_first_sample_ += clock_.nsamp();
  const kivo::DatagramPosition position = clock_.note(kivo::sequence_number(datagram), stamp);
  stamp_sources_.note(received.kernel_stamp);
  lines_.publish(clock_.current_segment());
  last_first_sample_ = position.first_sample;
  return position.first_sample;
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

// The datagrams still queued go where the receiver thread would have put
// them, so that 'close' saves everything received. Each is counted as the
// receiver counts it (an empty one as a failed receive), and the system's
// own drop count, which also holds the drops after the last datagram
// received, replaces the one that datagram brought when it is larger. The
// socket's buffer bounds what was queued when 'close' began; a sender that
// goes on is not followed further.
Receiver::LastBlock Receiver::receive_to_the_end(const std::function<void(unsigned half)>& save_full) {
  uint32_t number = stopped_.number;
  size_t taken = stopped_.taken;
  bool begun = stopped_.stage == Stage::filling;
  if (stopped_.stage == Stage::full) {
    save_full(number & 1U);
    ++number;
  }
  for (uint64_t n = 0; n < queue_limit_; ++n) {
    const unsigned half = number & 1U;
    if (!begun) {
      delivery_.begin_block(number);
      begun = true;
      taken = 0;
    }
    uint8_t* slot = blocks_.data() + half * block_bytes_ + taken * slot_bytes_;
    const kivo::net::Received received = socket_.receive_queued(slot + kivo::kStampBytes, datagram_bytes_);
    if (received.length < 0 || received.shut_down) break;
    if (received.length == 0) {
      counters_.failed_receives.fetch_add(1, std::memory_order_relaxed);
      note_size(slot + kivo::kStampBytes, received);
      continue;
    }
    take_datagram(slot, uint64_t{number} * static_cast<uint64_t>(kivo::kSlotsPerBlock) + taken, received);
    if (++taken == static_cast<size_t>(kivo::kSlotsPerBlock)) {
      save_full(half);
      ++number;
      begun = false;
    }
  }
  counters_.kernel_drops.store(kivo::kernel_drops_at_end(socket_, counters_.kernel_drops.load()));
  return {number & 1U, begun ? taken : 0};
}

kivo::SampleTiming Receiver::timing() const { return stamp_sources_.named(clock_.timing()); }

}  // namespace kivo
