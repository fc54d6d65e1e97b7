// Datagrams whose length is not the datagram size of the channel count given:
// the sign of a device that sends another channel count than the receiver
// was told. They are saved (cut, or with a zeroed tail), so they are counted
// and named to the user, never taken in silence.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "kivo/udp_socket.h"

namespace kivo {

// The length of a datagram that was cut by an amount the platform does not tell.
inline constexpr long long kLongerThanExpected = -1;

// How long a datagram that a receive returned was: its own length, or
// kLongerThanExpected.
long long arrived_length(const net::Received& received);

// The receiving thread's tally; its owner reads it once that thread has stopped.
class WrongSizeTally {
 public:
  // `expected`: the datagram size of the channel count. Starts a new tally.
  void reset(size_t expected);
  // Notes one datagram that a receive returned (received.length >= 0).
  // Returns true when its length is not the expected size.
  bool note(const net::Received& received);

  uint64_t count() const { return count_; }
  // The wrong length seen most often (kLongerThanExpected for datagrams cut by
  // an unknown amount); 0 when there was none.
  long long most_frequent_length() const;

 private:
  struct Seen {
    long long length = 0;
    uint64_t count = 0;
  };
  // A few distinct lengths are enough to name the usual cause (one wrong
  // channel count); lengths beyond them are counted but not told apart.
  std::array<Seen, 8> seen_{};
  size_t distinct_ = 0;
  size_t expected_ = 0;
  uint64_t count_ = 0;
};

// A short datagram that took a slot leaves the slot's `datagram_bytes` zero
// beyond what arrived, not holding an earlier datagram's samples as if they
// were its own.
void zero_past_arrival(uint8_t* datagram, const net::Received& received, size_t datagram_bytes);

// "N datagram(s) of M bytes arrived where B bytes are expected for C channels; check the channel count"
std::string wrong_size_summary(uint64_t count, long long length, int32_t expected, uint32_t nchans);
// The same for the first one: "a datagram of M bytes arrived where ..."
std::string first_wrong_size(long long length, int32_t expected, uint32_t nchans);

}  // namespace kivo
