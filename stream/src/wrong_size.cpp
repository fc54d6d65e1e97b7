#include "kivo/wrong_size.h"

#include <cstring>

namespace kivo {
namespace {

std::string length_text(long long length, int32_t expected) {
  if (length == kLongerThanExpected) return "more than " + std::to_string(expected) + " bytes";
  return std::to_string(length) + " bytes";
}

std::string expectation(int32_t expected, uint32_t nchans) {
  return " arrived where " + std::to_string(expected) + " bytes are expected for " + std::to_string(nchans) +
         " channels; check the channel count";
}

}  // namespace

void WrongSizeTally::reset(size_t expected) {
  *this = WrongSizeTally{};
  expected_ = expected;
}

long long arrived_length(const net::Received& received) {
  if (!received.cut) return received.length;
  return received.full_length > 0 ? received.full_length : kLongerThanExpected;
}

bool WrongSizeTally::note(const net::Received& received) {
  if (!received.cut && static_cast<size_t>(received.length) == expected_) return false;
  const long long length = arrived_length(received);
  ++count_;
  for (size_t i = 0; i < distinct_; ++i) {
    if (seen_[i].length == length) {
      ++seen_[i].count;
      return true;
    }
  }
  if (distinct_ < seen_.size()) seen_[distinct_++] = Seen{length, 1};
  return true;
}

long long WrongSizeTally::most_frequent_length() const {
  Seen most;
  for (size_t i = 0; i < distinct_; ++i) {
    if (seen_[i].count > most.count) most = seen_[i];
  }
  return most.length;
}

void zero_past_arrival(uint8_t* datagram, const net::Received& received, size_t datagram_bytes) {
  if (received.length < 0) return;
  const auto length = static_cast<size_t>(received.length);
  if (length < datagram_bytes) std::memset(datagram + length, 0, datagram_bytes - length);
}

std::string wrong_size_summary(uint64_t count, long long length, int32_t expected, uint32_t nchans) {
  return std::to_string(count) + " datagram(s) of " + length_text(length, expected) +
         expectation(expected, nchans);
}

std::string first_wrong_size(long long length, int32_t expected, uint32_t nchans) {
  return "a datagram of " + length_text(length, expected) + expectation(expected, nchans);
}

}  // namespace kivo
