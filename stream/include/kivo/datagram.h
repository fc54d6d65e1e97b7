// Field access on a Kivo datagram held in memory. All fields are little-endian:
// bytes 0-9 opaque header, bytes 10-11 sequence number, then nsamp time steps
// of nchans unsigned 16-bit samples each.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivo/geometry.h"

namespace kivo {

inline uint16_t load_u16le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void store_u16le(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v & 0xFF);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline uint16_t sequence_number(const uint8_t* datagram) { return load_u16le(datagram + kSequenceOffset); }

// The run of nsamp * nchans samples in storage order (time step by time step).
inline const uint8_t* sample_run(const uint8_t* datagram) { return datagram + kHeaderBytes; }
inline uint8_t* sample_run(uint8_t* datagram) { return datagram + kHeaderBytes; }

// Sample i of the run, counted in storage order.
inline uint16_t sample_in_run(const uint8_t* datagram, size_t i) {
  return load_u16le(sample_run(datagram) + 2 * i);
}

// The sample of channel ch at time step t.
inline uint16_t sample_at(const uint8_t* datagram, size_t nchans, size_t ch, size_t t) {
  return sample_in_run(datagram, t * nchans + ch);
}

// The sequence number that follows seq on the device (wraps after 65535).
constexpr uint16_t next_sequence(uint16_t seq) { return static_cast<uint16_t>(seq + 1U); }

}  // namespace kivo
