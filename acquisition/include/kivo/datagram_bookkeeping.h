// What the receiver notes about each datagram it has taken into a slot, apart
// from the socket and the buffer: the counters, the breaks in the sequence
// numbers, and the unread-byte count that paces 'read'. Kept free of both so
// that it can be driven on its own (tests, fuzzing).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kivo/sequence_tracker.h"
#include "kivo/status.h"
#include "kivo/udp_socket.h"

namespace kivo {

// Receiver thread only: counts one datagram that a receive took into a slot
// (received.length > 0 bytes at `datagram`) and notes whether its number
// follows the previous one. A datagram too short to hold a sequence number
// is counted but leaves the sequence alone.
void count_datagram(StatusCounters& counters, kivo::SequenceTracker& sequence, const uint8_t* datagram,
                    const kivo::net::Received& received);

// Receiver thread: adds `length` received bytes to `unread`, never above `cap`.
// Sequentially consistent: whoever sees the new count also sees what was
// published before it, and a caller that waits for the count (ArrivalSignal)
// is either seen waiting or sees it.
void add_unread(std::atomic<size_t>& unread, size_t length, size_t cap);

// host thread: takes one datagram's `size` bytes off `unread` and returns
// true, or returns false (and changes nothing) when fewer are left. The count
// left is never above `cap`.
bool take_unread(std::atomic<size_t>& unread, size_t size, size_t cap);

}  // namespace kivo
