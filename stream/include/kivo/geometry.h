// Stream geometry of the Kivo device: how the channel count fixes the
// samples per channel, the datagram size and the sizes of slots and blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kivo {

// Samples per channel in one datagram, indexed by floor(log2(nchans)).
inline constexpr std::array<int32_t, 5> NSAMPLES_PER_CHAN_LUT{500, 250, 125, 86, 43};

inline constexpr int kHeaderBytes = 12;      // 10 opaque bytes + 16-bit sequence number
inline constexpr int kSequenceOffset = 10;   // byte offset of the sequence number
inline constexpr int kStampBytes = 8;        // receive time in front of a stamped slot
inline constexpr int kSlotsPerBlock = 1000;  // datagrams per block
inline constexpr int kMinChannels = 1;
inline constexpr int kMaxChannels = 16;

// Position of the highest set bit of the low 32 bits of nchans: floor(log2)
// for nchans >= 1, and 0 for nchans == 0.
constexpr unsigned table_index(uint32_t nchans) {
  unsigned index = 0;
  while (nchans > 1) {
    nchans >>= 1;
    ++index;
  }
  return index;
}

// True when table_index(nchans) lies inside NSAMPLES_PER_CHAN_LUT.
constexpr bool has_table_entry(uint32_t nchans) { return table_index(nchans) < NSAMPLES_PER_CHAN_LUT.size(); }

// nsamp for a channel count; the caller keeps nchans below 32.
constexpr int32_t samples_per_channel(uint32_t nchans) { return NSAMPLES_PER_CHAN_LUT[table_index(nchans)]; }

constexpr int32_t datagram_size(uint32_t nchans, int32_t nsamp) {
  return static_cast<int32_t>(nchans) * nsamp * 2 + kHeaderBytes;
}

// One stamped slot (receive time, then the datagram).
constexpr int32_t stamped_slot_size(uint32_t nchans, int32_t nsamp) {
  return datagram_size(nchans, nsamp) + kStampBytes;
}

// Everything that follows from one channel count.
struct Geometry {
  uint32_t nchans = 0;
  int32_t nsamp = 0;
  int32_t datagram_size_bytes = 0;   // one Datagram
  int32_t stamped_slot_bytes = 0;    // one StampedDatagram: stamp + datagram
  int32_t stamped_block_bytes = 0;   // the plug-in's Block of stamped slots
  int32_t recorder_block_bytes = 0;  // the recorder's Block of bare datagrams

  size_t samples_per_datagram() const { return size_t{nchans} * static_cast<size_t>(nsamp); }
  // A slot and a block of a file with stamped slots or with bare datagrams.
  int32_t slot_bytes(bool stamped) const { return stamped ? stamped_slot_bytes : datagram_size_bytes; }
  int32_t block_bytes(bool stamped) const { return stamped ? stamped_block_bytes : recorder_block_bytes; }
};

// The geometry of a channel count; nchans must have a table entry (0 to 31).
constexpr Geometry make_geometry(uint32_t nchans) {
  Geometry g;
  g.nchans = nchans;
  g.nsamp = samples_per_channel(nchans);
  g.datagram_size_bytes = datagram_size(nchans, g.nsamp);
  g.stamped_slot_bytes = stamped_slot_size(nchans, g.nsamp);
  g.stamped_block_bytes = g.stamped_slot_bytes * kSlotsPerBlock;
  g.recorder_block_bytes = g.datagram_size_bytes * kSlotsPerBlock;
  return g;
}

constexpr bool is_supported_channel_count(long long nchans) {
  return nchans >= kMinChannels && nchans <= kMaxChannels;
}

// The largest datagram of any supported channel count (15 channels).
inline constexpr int32_t kLargestDatagramBytes = 2592;

}  // namespace kivo
