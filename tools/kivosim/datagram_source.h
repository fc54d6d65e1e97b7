// Produces the simulated device's datagrams one after the other: sequence
// numbers, sample content and the faults asked for on the command line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivo/encoder.h"
#include "kivo/geometry.h"
#include "options.h"

namespace kivo::sim {

// What happened to one datagram on its way out.
enum class Fault : uint8_t { none, empty, cut_short, too_long };

inline constexpr size_t kLongExtraBytes = 64;
inline constexpr uint8_t kLongFillByte = 0xEE;
// Header byte 7 holds the content kind; random content is marked with this.
inline constexpr uint8_t kRandomContentMark = 2;

// The fault schedule: every N-th datagram (counted from 1) gets the fault; 0 = never.
struct FaultPlan {
  uint64_t skip_every = 0;
  uint64_t empty_every = 0;
  uint64_t short_every = 0;
  uint64_t long_every = 0;

  // The fault of datagram `number` (1-based); empty wins over short, short over long.
  Fault fault_of(uint64_t number) const;
  // True when one sequence number is skipped before datagram `number` (1-based).
  bool skip_before(uint64_t number) const;
};

struct Produced {
  size_t size = 0;  // bytes to send; 0 for an empty datagram
  uint16_t seq = 0;
  uint32_t index = 0;  // the header's running index: sequence numbers used so far
  Fault fault = Fault::none;
};

// Sine settings for a run: the sample rate follows the datagram rate so that a
// plot of the samples against their receive times shows the intended frequencies.
kivo::SineSettings sine_settings_for(const Options& options, const kivo::Geometry& geometry);

// Main thread only.
class DatagramSource {
 public:
  DatagramSource(const kivo::Geometry& geometry, const Options& options);

  // The largest datagram next() can write.
  size_t capacity() const;
  // Writes the next datagram to `out` (capacity() bytes available).
  Produced next(uint8_t* out);
  uint64_t produced() const { return produced_; }
  uint64_t skipped() const { return skipped_; }

 private:
  void fill_random(uint8_t* samples, size_t bytes);

  kivo::Geometry geometry_;
  Content content_;
  FaultPlan faults_;
  kivo::DatagramEncoder encoder_;
  uint16_t seq_;
  uint32_t index_ = 0;
  uint64_t produced_ = 0;
  uint64_t skipped_ = 0;
  uint64_t random_state_;
};

}  // namespace kivo::sim
