// The band filter on AVX2: up to eight channels per vector, sixteen in two
// independent chains. Compiled for AVX2 function by function, so the library
// still loads on CPUs without it; the dispatcher calls it only where it runs.
#include "band_filter_kernels.h"

#if defined(KIVO_FILTER_AVX)
#include <immintrin.h>

#include <cstring>

#include "kivo/geometry.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace kivo {
namespace filter_detail {
namespace {

// Up to four channels in a 128-bit vector, with the SSE4.1 integer operations.
struct Avx2Lanes4 {
  using F = __m128;
  using I = __m128i;
  static constexpr int kLanes = 4;
  static constexpr bool kMasked = false;

  unsigned in_use = 0;  // one bit per lane

  Avx2Lanes4() = default;
  explicit Avx2Lanes4(size_t lanes_in_use) : in_use((1u << lanes_in_use) - 1) {}

  static F splat(float f) { return _mm_set1_ps(f); }
  static F mul(F p, F q) { return _mm_mul_ps(p, q); }
  static F add(F p, F q) { return _mm_add_ps(p, q); }
  static F sub(F p, F q) { return _mm_sub_ps(p, q); }
  static F to_float(I i) { return _mm_cvtepi32_ps(i); }

  F load_x(const uint8_t* p) const {
    return _mm_cvtepi32_ps(_mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
  }
  F load_y(const uint16_t* p) const {
    return _mm_sub_ps(load_x(reinterpret_cast<const uint8_t*>(p)), _mm_set1_ps(32767.0f));
  }
  static I truncate(F s) { return _mm_cvttps_epi32(s); }  // NaN and overflow give INT_MIN
  static I clamp(I i) {
    return _mm_min_epi32(_mm_max_epi32(i, _mm_set1_epi32(-32767)), _mm_set1_epi32(32768));
  }
  unsigned count_clamped(I cut, I clamped) const {
    const unsigned same =
        static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(cut, clamped))));
    return static_cast<unsigned>(__builtin_popcount(~same & in_use));
  }
  void store(uint8_t* p, I y) const {
    const __m128i stored = _mm_add_epi32(y, _mm_set1_epi32(32767));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi32(stored, stored));
  }
};

struct Avx2Lanes8 {
  using F = __m256;
  using I = __m256i;
  static constexpr int kLanes = 8;
  static constexpr bool kMasked = false;

  unsigned in_use = 0;  // one bit per lane

  Avx2Lanes8() = default;
  explicit Avx2Lanes8(size_t lanes_in_use) : in_use((1u << lanes_in_use) - 1) {}

  static F splat(float f) { return _mm256_set1_ps(f); }
  static F mul(F p, F q) { return _mm256_mul_ps(p, q); }
  static F add(F p, F q) { return _mm256_add_ps(p, q); }
  static F sub(F p, F q) { return _mm256_sub_ps(p, q); }
  static F to_float(I i) { return _mm256_cvtepi32_ps(i); }

  F load_x(const uint8_t* p) const {
    return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
  }
  F load_y(const uint16_t* p) const {
    return _mm256_sub_ps(load_x(reinterpret_cast<const uint8_t*>(p)), _mm256_set1_ps(32767.0f));
  }
  static I truncate(F s) { return _mm256_cvttps_epi32(s); }  // NaN and overflow give INT_MIN
  static I clamp(I i) {
    return _mm256_min_epi32(_mm256_max_epi32(i, _mm256_set1_epi32(-32767)), _mm256_set1_epi32(32768));
  }
  unsigned count_clamped(I cut, I clamped) const {
    const unsigned same =
        static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(cut, clamped))));
    return static_cast<unsigned>(__builtin_popcount(~same & in_use));
  }
  void store(uint8_t* p, I y) const {
    const __m256i stored = _mm256_add_epi32(y, _mm256_set1_epi32(32767));
    const __m128i words =
        _mm_packus_epi32(_mm256_castsi256_si128(stored), _mm256_extracti128_si256(stored, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), words);
  }
};

}  // namespace
}  // namespace filter_detail
}  // namespace kivo

#include "band_filter_lanes.h"

namespace kivo {
namespace filter_detail {

uint64_t filter_avx2(const BlockJob& job) {
  if (job.nchans <= 4) return filter_block_lanes<Avx2Lanes4, 1>(job);
  if (job.nchans <= 8) return filter_block_lanes<Avx2Lanes8, 1>(job);
  return filter_block_lanes<Avx2Lanes8, 2>(job);
}

}  // namespace filter_detail
}  // namespace kivo

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // KIVO_FILTER_AVX
