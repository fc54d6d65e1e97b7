// Inside the band filter: the work of one block as every implementation sees
// it, and the entry point of each implementation. Only band_filter*.cpp use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {
namespace filter_detail {

// One block to filter. The kernels copy stamps and headers and compute every
// sample; the caller saves the histories afterwards.
struct BlockJob {
  const float* b;             // b0..b4
  const float* a;             // a0..a4 (a0 unused)
  const uint16_t* x_history;  // 4 * nchans raw inputs before the block, oldest step first
  const uint16_t* y_history;  // 4 * nchans stored outputs before the block
  const uint8_t* raw;         // 1000 stamped slots
  uint8_t* out;               // 1000 slots of the same size
  size_t nchans;              // 1 to 16 for the vector kernels, up to 32 for the portable one
  size_t nsamp;               // time steps per slot
  size_t slot_bytes;          // 20 + 2 * nsamp * nchans
  size_t slots;               // the slots to filter, 1 to 1000 (fewer in a last, partial block)
};

// Each kernel runs on the calling thread, allocates nothing and returns how
// many outputs it clipped (output_clipped).
uint64_t filter_portable(const BlockJob& job);
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#define KIVO_FILTER_X86 1
uint64_t filter_sse2(const BlockJob& job);
#endif
#if defined(KIVO_FILTER_X86) && defined(__GNUC__) && !defined(KIVO_FILTER_NO_AVX)
// The AVX kernels need the compiler's per-function target attributes (and,
// with MinGW, an assembler that keeps spilled vectors safe: see CMakeLists).
#define KIVO_FILTER_AVX 1
uint64_t filter_avx2(const BlockJob& job);
uint64_t filter_avx512(const BlockJob& job);
#endif

}  // namespace filter_detail
}  // namespace kivo
