// The band filter of the save thread: a recursive filter of order four run on
// every channel, in single precision, with each product and sum rounded in a
// fixed order so that the filtered file is reproducible bit for bit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kivo/block_file.h"

namespace velto {

inline constexpr size_t kHistorySteps = 4;
inline constexpr size_t kHistoryEntries = 128;  // 4 time steps x up to 32 channels

struct FilterState {
  std::array<float, 5> b{};  // b0..b4
  std::array<float, 5> a{};  // a0..a4; a0 is kept but the filter takes it as 1
  // The last four time steps of the previous block, oldest first, channels
  // interleaved: raw inputs and stored (offset) outputs.
  std::array<uint16_t, kHistoryEntries> x_history{};
  std::array<uint16_t, kHistoryEntries> y_history{};
  kivo::BlockFile file;  // the filtered samples file
};

// One output: the sum rounded by adding 0.5, cut toward zero, shifted by
// 32767 and clamped to 0..65535; 0 for a sum that is not finite or does not
// fit a 32-bit integer.
uint16_t encode_output(float sum);

// Filters one block of 1000 stamped slots from `raw` into `out` (same layout;
// stamps and headers copied), continuing from and then updating the histories.
void filter_block(FilterState& filt, const uint8_t* raw, uint8_t* out, size_t nchans, size_t nsamp);

}  // namespace velto
