// Builds Kivo datagrams: used by the device simulator and by the tests, so
// that both sides agree on what a verifiable datagram holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kivo/geometry.h"

namespace kivo {

enum class SampleContent : uint8_t {
  sine = 0,     // per-channel sine waves of distinct frequencies with a little noise
  pattern = 1,  // a function of sequence number, channel and time step
};

// Header bytes 0-9 written by the encoder: "KV", the 32-bit running index of the
// datagram, the channel count, the content kind and the complement of the
// sequence number. Receivers never interpret them; tests use them to check that
// headers travel unchanged.
inline constexpr uint8_t kHeaderMagic0 = 'K';
inline constexpr uint8_t kHeaderMagic1 = 'V';

// The verifiable pattern: the sample of channel ch at time step t in the
// datagram with sequence number seq.
constexpr uint16_t pattern_sample(uint16_t seq, size_t ch, size_t t) {
  uint32_t x = uint32_t{seq} * 40503U + static_cast<uint32_t>(ch) * 9973U + static_cast<uint32_t>(t) * 131U;
  x ^= x >> 11;
  return static_cast<uint16_t>(x);
}

struct SineSettings {
  double sample_rate_hz = 86000.0;  // samples per second per channel
  double base_hz = 43.0;            // channel c oscillates at base_hz * (c + 1)
  double amplitude = 12000.0;       // counts around mid-scale
  double noise = 200.0;             // peak counts of uniform noise
};

class DatagramEncoder {
 public:
  DatagramEncoder(const Geometry& geometry, SampleContent content, SineSettings sine = {});

  // Writes one whole datagram (geometry.datagram_size_bytes bytes) to out.
  // index is the running count of datagrams since the stream started; sine
  // phases advance with it, so call with consecutive indices for a smooth signal.
  void encode(uint8_t* out, uint16_t seq, uint32_t index);

  const Geometry& geometry() const { return geometry_; }

 private:
  void write_header(uint8_t* out, uint16_t seq, uint32_t index) const;
  void write_pattern(uint8_t* samples, uint16_t seq) const;
  void write_sine(uint8_t* samples, uint32_t index);
  uint32_t next_random();

  Geometry geometry_;
  SampleContent content_;
  SineSettings sine_;
  std::vector<double> step_;  // radians per sample, per channel
  uint32_t random_state_ = 0x2545F491U;
};

// True when the datagram at p carries the encoder's header for seq and index.
bool header_matches(const uint8_t* datagram, uint16_t seq, uint32_t index, uint32_t nchans);
// True when every sample of the datagram at p follows the pattern for seq.
bool pattern_matches(const uint8_t* datagram, const Geometry& geometry);

}  // namespace kivo
