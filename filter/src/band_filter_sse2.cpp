// The band filter on SSE2, the x86 baseline: four channels per vector.
#include "band_filter_kernels.h"

#if defined(KIVO_FILTER_X86)
#include <emmintrin.h>

#include <cstring>

#include "kivo/geometry.h"

namespace kivo {
namespace filter_detail {
namespace {

struct Sse2Lanes {
  using F = __m128;
  using I = __m128i;
  static constexpr int kLanes = 4;
  static constexpr bool kMasked = false;

  unsigned in_use = 0;  // one bit per lane

  Sse2Lanes() = default;
  explicit Sse2Lanes(size_t lanes_in_use) : in_use((1u << lanes_in_use) - 1) {}

  static F splat(float f) { return _mm_set1_ps(f); }
  static F mul(F p, F q) { return _mm_mul_ps(p, q); }
  static F add(F p, F q) { return _mm_add_ps(p, q); }
  static F sub(F p, F q) { return _mm_sub_ps(p, q); }
  static F to_float(I i) { return _mm_cvtepi32_ps(i); }

  F load_x(const uint8_t* p) const {
    const __m128i words = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm_cvtepi32_ps(_mm_unpacklo_epi16(words, _mm_setzero_si128()));
  }
  F load_y(const uint16_t* p) const {
    return _mm_sub_ps(load_x(reinterpret_cast<const uint8_t*>(p)), _mm_set1_ps(32767.0f));
  }

  static I truncate(F s) { return _mm_cvttps_epi32(s); }  // NaN and overflow give INT_MIN
  // SSE2 has no 32-bit min and max: compare and select.
  static I clamp(I i) {
    const __m128i lo = _mm_set1_epi32(-32767);
    const __m128i hi = _mm_set1_epi32(32768);
    __m128i keep = _mm_cmpgt_epi32(i, lo);
    i = _mm_or_si128(_mm_and_si128(keep, i), _mm_andnot_si128(keep, lo));
    keep = _mm_cmpgt_epi32(hi, i);
    return _mm_or_si128(_mm_and_si128(keep, i), _mm_andnot_si128(keep, hi));
  }
  // The x86 baseline has no popcnt instruction: four lanes count by table.
  unsigned count_clamped(I cut, I clamped) const {
    static constexpr uint8_t kBitsSet[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    const unsigned same =
        static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(cut, clamped))));
    return kBitsSet[~same & in_use];
  }

  // y + 32767 as unsigned 16 bits: y - 1 fits a signed 16-bit pack, and
  // flipping the sign bit adds the remaining 32768.
  void store(uint8_t* p, I y) const {
    const __m128i shifted = _mm_sub_epi32(y, _mm_set1_epi32(1));
    const __m128i words = _mm_xor_si128(_mm_packs_epi32(shifted, shifted), _mm_set1_epi16(-32768));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), words);
  }
};

}  // namespace
}  // namespace filter_detail
}  // namespace kivo

#include "band_filter_lanes.h"

namespace kivo {
namespace filter_detail {

uint64_t filter_sse2(const BlockJob& job) {
  switch ((job.nchans + 3) / 4) {
    case 1: return filter_block_lanes<Sse2Lanes, 1>(job);
    case 2: return filter_block_lanes<Sse2Lanes, 2>(job);
    case 3: return filter_block_lanes<Sse2Lanes, 3>(job);
    default: return filter_block_lanes<Sse2Lanes, 4>(job);
  }
}

}  // namespace filter_detail
}  // namespace kivo

#endif  // KIVO_FILTER_X86
