// Test support for the band filter: streams of stamped blocks, and a plain
// reference for the difference equation over one channel's whole stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "kivo/band_filter.h"

namespace filter_test {

using Coefficients = std::array<float, 5>;

// Consecutive blocks of 1000 stamped slots, as the receiver hands them over.
struct Stream {
  size_t nchans = 0;
  size_t nsamp = 0;
  size_t slot_bytes = 0;
  size_t block_bytes = 0;
  size_t nblocks = 0;
  std::vector<uint8_t> bytes;

  Stream(size_t nchans, size_t nblocks);
  uint8_t* block(size_t k) { return bytes.data() + k * block_bytes; }
  const uint8_t* block(size_t k) const { return bytes.data() + k * block_bytes; }
  uint16_t sample(size_t step, size_t c) const;  // step counted over the whole stream
  void set_sample(size_t step, size_t c, uint16_t value);
  size_t steps() const { return nblocks * 1000 * nsamp; }
};

// Random stamps, headers and samples.
void fill_random(Stream& s, std::mt19937& rng);

// The oracle: y[n] = b0 x[n] + ... + b4 x[n-4] - a1 y[n-1] - ... - a4 y[n-4]
// in single precision, rounded after every operation in that order, over
// one channel from its starting four inputs and stored outputs (oldest first).
// With `clipped`, adds the outputs that the stored range could not hold.
std::vector<uint16_t> reference_channel(const std::vector<uint16_t>& x, const Coefficients& b,
                                        const Coefficients& a, const std::array<uint16_t, 4>& x_before,
                                        const std::array<uint16_t, 4>& y_before, uint64_t* clipped = nullptr);

// One stored output from a final sum, written independently of the library.
uint16_t reference_store(float sum);

// Runs the stream block by block through filter_block_with into a stream of
// the same shape, starting from `state`.
Stream filter_stream(kivo::FilterIsa isa, kivo::FilterState& state, const Stream& raw);

}  // namespace filter_test
