// The band filter on AVX-512 (F, BW, VL): masked loads and stores, so that no
// lane reaches past the channels of a time step. The recursion makes each
// channel a chain of dependent operations, and on current cores 512-bit adds
// take longer than 256-bit ones, so sixteen channels run fastest as two
// independent chains of eight lanes rather than one chain of sixteen.
// Compiled for AVX-512 function by function, so the library still loads on
// CPUs without it; the dispatcher calls it only where it runs.
#include "band_filter_kernels.h"

#if defined(KIVO_FILTER_AVX)
// GCC 12's AVX-512 headers start some results from deliberately undefined
// vectors and then warn about them where they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include <cstring>

#include "kivo/geometry.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vl"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl")
#endif

namespace kivo {
namespace filter_detail {
namespace {

// Up to four channels in a 128-bit vector.
struct Avx512Lanes4 {
  using F = __m128;
  using I = __m128i;
  static constexpr int kLanes = 4;
  static constexpr bool kMasked = true;
  __mmask8 mask = 0;

  Avx512Lanes4() = default;
  explicit Avx512Lanes4(size_t lanes_in_use) : mask(static_cast<__mmask8>((1u << lanes_in_use) - 1)) {}

  static F splat(float f) { return _mm_set1_ps(f); }
  static F mul(F p, F q) { return _mm_mul_ps(p, q); }
  static F add(F p, F q) { return _mm_add_ps(p, q); }
  static F sub(F p, F q) { return _mm_sub_ps(p, q); }
  static F to_float(I i) { return _mm_cvtepi32_ps(i); }

  F load_x(const uint8_t* p) const {
    return _mm_cvtepi32_ps(_mm_cvtepu16_epi32(_mm_maskz_loadu_epi16(mask, p)));
  }
  F load_y(const uint16_t* p) const {
    return _mm_sub_ps(load_x(reinterpret_cast<const uint8_t*>(p)), _mm_set1_ps(32767.0f));
  }
  static I truncate(F s) { return _mm_cvttps_epi32(s); }  // NaN and overflow give INT_MIN
  static I clamp(I i) {
    return _mm_min_epi32(_mm_max_epi32(i, _mm_set1_epi32(-32767)), _mm_set1_epi32(32768));
  }
  unsigned count_clamped(I cut, I clamped) const {
    return static_cast<unsigned>(__builtin_popcount(_mm_mask_cmpneq_epi32_mask(mask, cut, clamped)));
  }
  void store(uint8_t* p, I y) const {
    const __m128i stored = _mm_add_epi32(y, _mm_set1_epi32(32767));
    _mm_mask_storeu_epi16(p, mask, _mm_cvtepi32_epi16(stored));
  }
};

// Up to eight channels in a 256-bit vector.
struct Avx512Lanes8 {
  using F = __m256;
  using I = __m256i;
  static constexpr int kLanes = 8;
  static constexpr bool kMasked = true;
  __mmask8 mask = 0;

  Avx512Lanes8() = default;
  explicit Avx512Lanes8(size_t lanes_in_use) : mask(static_cast<__mmask8>((1u << lanes_in_use) - 1)) {}

  static F splat(float f) { return _mm256_set1_ps(f); }
  static F mul(F p, F q) { return _mm256_mul_ps(p, q); }
  static F add(F p, F q) { return _mm256_add_ps(p, q); }
  static F sub(F p, F q) { return _mm256_sub_ps(p, q); }
  static F to_float(I i) { return _mm256_cvtepi32_ps(i); }

  F load_x(const uint8_t* p) const {
    return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm_maskz_loadu_epi16(mask, p)));
  }
  F load_y(const uint16_t* p) const {
    return _mm256_sub_ps(load_x(reinterpret_cast<const uint8_t*>(p)), _mm256_set1_ps(32767.0f));
  }
  static I truncate(F s) { return _mm256_cvttps_epi32(s); }  // NaN and overflow give INT_MIN
  static I clamp(I i) {
    return _mm256_min_epi32(_mm256_max_epi32(i, _mm256_set1_epi32(-32767)), _mm256_set1_epi32(32768));
  }
  unsigned count_clamped(I cut, I clamped) const {
    return static_cast<unsigned>(__builtin_popcount(_mm256_mask_cmpneq_epi32_mask(mask, cut, clamped)));
  }
  void store(uint8_t* p, I y) const {
    const __m256i stored = _mm256_add_epi32(y, _mm256_set1_epi32(32767));
    _mm_mask_storeu_epi16(p, mask, _mm256_cvtepi32_epi16(stored));
  }
};

}  // namespace
}  // namespace filter_detail
}  // namespace kivo

#include "band_filter_lanes.h"

namespace kivo {
namespace filter_detail {

uint64_t filter_avx512(const BlockJob& job) {
  if (job.nchans <= 4) return filter_block_lanes<Avx512Lanes4, 1>(job);
  if (job.nchans <= 8) return filter_block_lanes<Avx512Lanes8, 1>(job);
  return filter_block_lanes<Avx512Lanes8, 2>(job);
}

}  // namespace filter_detail
}  // namespace kivo

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // KIVO_FILTER_AVX
