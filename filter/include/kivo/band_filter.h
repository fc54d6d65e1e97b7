// The band filter of the filtered sample files: a recursive filter of order
// four run on every channel, in single precision, with each product and sum rounded in a
// fixed order so that the filtered file is reproducible bit for bit.
//
// Several implementations compute the same bits: a portable one in plain C++
// and, on x86, vector ones that run the channels in SIMD lanes. The fastest
// one that the CPU supports is picked once, at the first call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kivo/geometry.h"

namespace kivo {

inline constexpr size_t kHistorySteps = 4;
inline constexpr size_t kHistoryEntries = 128;  // 4 time steps x up to 32 channels

// The whole state of one filtered stream; a plain value, copied freely.
struct FilterState {
  std::array<float, 5> b{};  // b0..b4
  std::array<float, 5> a{};  // a0..a4; a0 is kept but the filter takes it as 1
  // The last four time steps of the previous block, oldest first, channels
  // interleaved: raw inputs and stored (offset) outputs.
  std::array<uint16_t, kHistoryEntries> x_history{};
  std::array<uint16_t, kHistoryEntries> y_history{};
};

// One stored output from the final sum (the 0.5 already added): cut toward
// zero, shifted by 32767 and clamped to 0..65535; 0 for a sum that is not
// finite or whose truncation does not fit a 32-bit integer.
uint16_t encode_output(float sum);

// Whether encode_output(sum) had to clamp: the sum, cut toward zero, lies
// outside -32767..32768 (the values 0..65535 store), or it is NaN (which
// fails both comparisons). Inline: the portable kernel asks it per sample.
inline bool output_clipped(float sum) { return !(sum > -32768.0f && sum < 32769.0f); }

// Filters one block of 1000 stamped slots from `raw` into `out` (same layout;
// stamps and headers copied), continuing from and then updating the histories.
// Returns how many of the block's outputs were clipped (output_clipped).
// A recording's last block may be partial: `slots` (1 to 1000) filters only
// its first slots, though `raw` and `out` must still span a whole block.
// nchans is 1 to 16. Any thread, one thread at a time per state.
uint64_t filter_block(FilterState& filt, const uint8_t* raw, uint8_t* out, size_t nchans, size_t nsamp,
                      size_t slots = kivo::kSlotsPerBlock);

// The implementations, from the slowest to the fastest.
enum class FilterIsa {
  portable,  // plain C++, one channel after the other
  sse2,      // x86: 4 channels per 128-bit vector
  avx2,      // x86: 8 channels per 256-bit vector
  avx512,    // x86: 16 channels per 512-bit vector (AVX-512 F, BW and VL)
};

// The implementations built in and supported by this CPU, slowest first.
// Any thread.
std::vector<FilterIsa> available_filter_isas();

// The implementation that filter_block uses: the last of available_filter_isas().
// Any thread.
FilterIsa default_filter_isa();

// "portable", "sse2", "avx2" or "avx512". Any thread.
const char* filter_isa_name(FilterIsa isa);

// filter_block on a chosen implementation; throws std::invalid_argument when
// it is not among available_filter_isas(). Same thread rule as filter_block.
uint64_t filter_block_with(FilterIsa isa, FilterState& filt, const uint8_t* raw, uint8_t* out, size_t nchans,
                           size_t nsamp, size_t slots = kivo::kSlotsPerBlock);

}  // namespace kivo
