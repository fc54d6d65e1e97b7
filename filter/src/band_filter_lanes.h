// The band filter's block loop over SIMD lanes, one channel per lane, shared by
// the vector kernels. Each kernel file includes its own headers first and then
// this one inside its instruction-set region, so that every function here is
// compiled for that instruction set; nothing here has external linkage of its
// own (the lane types that it is instantiated with are file-local).
//
// A lane type V provides:
//   F, I                      float and int32 vectors of kLanes lanes
//   kLanes, kMasked           lanes per vector; true when loads and stores
//                             touch only the lanes in use
//   V(size_t lanes_in_use)
//   static F splat(float)
//   F load_x(const uint8_t*)  unsigned 16-bit samples, little-endian, as floats
//   F load_y(const uint16_t*) stored outputs less 32767, as floats
//   static F mul, add, sub    one rounding each, no fusing
//   static I truncate(F)      cut toward zero; NaN and overflow give INT_MIN
//   static I clamp(I)         to -32767..32768 (the stored value less 32767)
//   unsigned count_clamped(I cut, I clamped)
//                             the lanes in use where the two differ
//   static F to_float(I)
//   void store(uint8_t*, I)   stores value + 32767 as unsigned 16-bit
// An unmasked V reads and writes whole vectors: past the channels of a time
// step lie the next time steps or the next slot's stamp (at most 14 bytes of
// it), so only the last few steps of a block go through a padded copy.
#pragma once

#if defined(__GNUC__)
#define KIVO_UNROLL_GROUPS _Pragma("GCC unroll 4")
#else
#define KIVO_UNROLL_GROUPS
#endif

namespace kivo {
namespace filter_detail {
namespace {

template <class V>
struct Coefficients {
  typename V::F b0, b1, b2, b3, b4, a1, a2, a3, a4, half;
  explicit Coefficients(const BlockJob& job)
      : b0(V::splat(job.b[0])),
        b1(V::splat(job.b[1])),
        b2(V::splat(job.b[2])),
        b3(V::splat(job.b[3])),
        b4(V::splat(job.b[4])),
        a1(V::splat(job.a[1])),
        a2(V::splat(job.a[2])),
        a3(V::splat(job.a[3])),
        a4(V::splat(job.a[4])),
        half(V::splat(0.5f)) {}
};

// The filter's memory for the channels of one vector: the four previous time
// steps. It is loaded from the histories once per block and then kept in
// registers across slot borders, so the first steps of a datagram take their
// inputs like every other step: no pass of their own, no test per sample.
template <class V>
struct Chain {
  typename V::F x1, x2, x3, x4;  // inputs 1..4 steps back
  typename V::F y1, y2, y3, y4;  // fed-back outputs 1..4 steps back
};

// One time step of one vector of channels, in the fixed order of operations;
// `clipped` counts the outputs of the lanes in use that needed a clamp.
template <class V>
inline void filter_step(const V& v, const Coefficients<V>& k, Chain<V>& c, uint64_t& clipped,
                        const uint8_t* in, uint8_t* out) {
  const typename V::F x0 = v.load_x(in);
  typename V::F s = V::add(V::mul(k.b0, x0), V::mul(k.b1, c.x1));
  s = V::add(s, V::mul(k.b2, c.x2));
  s = V::add(s, V::mul(k.b3, c.x3));
  s = V::add(s, V::mul(k.b4, c.x4));
  s = V::sub(s, V::mul(k.a1, c.y1));
  s = V::sub(s, V::mul(k.a2, c.y2));
  s = V::sub(s, V::mul(k.a3, c.y3));
  s = V::sub(s, V::mul(k.a4, c.y4));
  s = V::add(s, k.half);
  const typename V::I cut = V::truncate(s);
  const typename V::I y = V::clamp(cut);
  clipped += v.count_clamped(cut, y);
  v.store(out, y);
  c.x4 = c.x3;
  c.x3 = c.x2;
  c.x2 = c.x1;
  c.x1 = x0;
  c.y4 = c.y3;
  c.y3 = c.y2;
  c.y2 = c.y1;
  c.y1 = V::to_float(y);
}

// All G vectors of one time step; vector g holds channels g * kLanes and up.
template <class V, int G>
inline void filter_row(const V (&v)[G], const Coefficients<V>& k, Chain<V> (&c)[G], uint64_t& clipped,
                       const uint8_t* in, uint8_t* out) {
  KIVO_UNROLL_GROUPS
  for (int g = 0; g < G; ++g) {
    filter_step(v[g], k, c[g], clipped, in + 2 * V::kLanes * g, out + 2 * V::kLanes * g);
  }
}

// The last time steps of the block through padded copies, for unmasked
// lanes: those whose vectors would reach past the end of the block.
template <class V, int G>
inline void filter_rows_padded(const V (&v)[G], const Coefficients<V>& k, Chain<V> (&c)[G], uint64_t& clipped,
                               const uint8_t* in, uint8_t* out, size_t row_bytes, size_t rows) {
  constexpr size_t kVectorBytes = 2 * V::kLanes * G;
  uint8_t in_copy[2 * kVectorBytes] = {};
  uint8_t out_copy[2 * kVectorBytes];
  const size_t bytes = rows * row_bytes;  // below kVectorBytes
  for (size_t i = 0; i < bytes; ++i) in_copy[i] = in[i];
  for (size_t r = 0; r < rows; ++r) {
    filter_row(v, k, c, clipped, in_copy + r * row_bytes, out_copy + r * row_bytes);
  }
  for (size_t i = 0; i < bytes; ++i) out[i] = out_copy[i];
}

// Filters a block with nchans = G vectors of up to V::kLanes channels and
// returns how many outputs it clipped.
template <class V, int G>
uint64_t filter_block_lanes(const BlockJob& job) {
  const size_t nchans = job.nchans;
  const size_t row_bytes = 2 * nchans;
  V v[G] = {};
  Coefficients<V> k(job);
  Chain<V> c[G];
  uint64_t clipped = 0;
  KIVO_UNROLL_GROUPS
  for (int g = 0; g < G; ++g) {
    const size_t first = V::kLanes * static_cast<size_t>(g);
    v[g] = V(nchans - first < size_t{V::kLanes} ? nchans - first : size_t{V::kLanes});
    c[g].x4 = v[g].load_x(reinterpret_cast<const uint8_t*>(job.x_history + first));
    c[g].x3 = v[g].load_x(reinterpret_cast<const uint8_t*>(job.x_history + nchans + first));
    c[g].x2 = v[g].load_x(reinterpret_cast<const uint8_t*>(job.x_history + 2 * nchans + first));
    c[g].x1 = v[g].load_x(reinterpret_cast<const uint8_t*>(job.x_history + 3 * nchans + first));
    c[g].y4 = v[g].load_y(job.y_history + first);
    c[g].y3 = v[g].load_y(job.y_history + nchans + first);
    c[g].y2 = v[g].load_y(job.y_history + 2 * nchans + first);
    c[g].y1 = v[g].load_y(job.y_history + 3 * nchans + first);
  }
  constexpr size_t kHead = kivo::kStampBytes + kivo::kHeaderBytes;
  const size_t last_slot = job.slots - 1;
  constexpr size_t kVectorSamples = V::kLanes * G;
  // Steps whose vectors would end past the last sample of the block.
  const size_t tail_rows = V::kMasked ? 0 : (kVectorSamples + nchans - 1) / nchans - 1;
  for (size_t slot = 0; slot <= last_slot; ++slot) {
    const uint8_t* in = job.raw + slot * job.slot_bytes;
    uint8_t* out = job.out + slot * job.slot_bytes;
    // Unmasked stores of the previous slot's last step may have run into
    // this head, so it is copied only now.
    std::memcpy(out, in, kHead);
    in += kHead;
    out += kHead;
    const size_t steps = slot == last_slot ? job.nsamp - tail_rows : job.nsamp;
    for (size_t t = 0; t < steps; ++t) {
      filter_row(v, k, c, clipped, in + t * row_bytes, out + t * row_bytes);
    }
  }
  if (tail_rows > 0) {
    const size_t offset = (job.nsamp - tail_rows) * row_bytes;
    const size_t last = last_slot * job.slot_bytes + kHead + offset;
    filter_rows_padded(v, k, c, clipped, job.raw + last, job.out + last, row_bytes, tail_rows);
  }
  return clipped;
}

}  // namespace
}  // namespace filter_detail
}  // namespace kivo
