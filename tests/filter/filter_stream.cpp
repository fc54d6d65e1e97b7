#include "filter_stream.h"

#include <cmath>

#include "kivo/geometry.h"

namespace filter_test {

Stream::Stream(size_t channels, size_t blocks)
    : nchans(channels),
      nsamp(static_cast<size_t>(kivo::samples_per_channel(static_cast<uint32_t>(channels)))),
      slot_bytes(20 + 2 * nsamp * nchans),
      block_bytes(1000 * slot_bytes),
      nblocks(blocks),
      bytes(block_bytes * blocks) {}

static size_t sample_offset(const Stream& s, size_t step, size_t c) {
  const size_t slot = step / s.nsamp;
  const size_t t = step % s.nsamp;
  return slot * s.slot_bytes + 20 + 2 * (t * s.nchans + c);
}

uint16_t Stream::sample(size_t step, size_t c) const {
  const uint8_t* p = bytes.data() + sample_offset(*this, step, c);
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void Stream::set_sample(size_t step, size_t c, uint16_t value) {
  uint8_t* p = bytes.data() + sample_offset(*this, step, c);
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

void fill_random(Stream& s, std::mt19937& rng) {
  std::uniform_int_distribution<int> byte(0, 255);
  for (uint8_t& b : s.bytes) b = static_cast<uint8_t>(byte(rng));
}

uint16_t reference_store(float sum) {
  if (std::isnan(sum)) return 0;
  const double cut = std::trunc(static_cast<double>(sum));
  if (cut < -2147483648.0 || cut > 2147483647.0) return 0;
  const double stored = cut + 32767.0;
  if (stored < 0.0) return 0;
  if (stored > 65535.0) return 65535;
  return static_cast<uint16_t>(stored);
}

// A sum that, cut toward zero and shifted by 32767, falls outside 0..65535,
// or that is not a number.
static bool reference_clipped(float sum) {
  if (std::isnan(sum)) return true;
  const double stored = std::trunc(static_cast<double>(sum)) + 32767.0;
  return stored < 0.0 || stored > 65535.0;
}

std::vector<uint16_t> reference_channel(const std::vector<uint16_t>& x, const Coefficients& b,
                                        const Coefficients& a, const std::array<uint16_t, 4>& x_before,
                                        const std::array<uint16_t, 4>& y_before, uint64_t* clipped) {
  // in[n + 4] is x[n]; out[n + 4] is the stored y[n].
  std::vector<uint16_t> in(x_before.begin(), x_before.end());
  in.insert(in.end(), x.begin(), x.end());
  std::vector<uint16_t> out(y_before.begin(), y_before.end());
  auto xf = [&](size_t i) { return static_cast<float>(in[i]); };
  auto yf = [&](size_t i) { return static_cast<float>(static_cast<int>(out[i]) - 32767); };
  for (size_t n = 4; n < in.size(); ++n) {
    float s = b[0] * xf(n) + b[1] * xf(n - 1);
    s = s + b[2] * xf(n - 2);
    s = s + b[3] * xf(n - 3);
    s = s + b[4] * xf(n - 4);
    s = s - a[1] * yf(n - 1);
    s = s - a[2] * yf(n - 2);
    s = s - a[3] * yf(n - 3);
    s = s - a[4] * yf(n - 4);
    s = s + 0.5f;
    if (clipped != nullptr && reference_clipped(s)) ++*clipped;
    out.push_back(reference_store(s));
  }
  return std::vector<uint16_t>(out.begin() + 4, out.end());
}

Stream filter_stream(kivo::FilterIsa isa, kivo::FilterState& state, const Stream& raw) {
  Stream out(raw.nchans, raw.nblocks);
  for (size_t k = 0; k < raw.nblocks; ++k) {
    kivo::filter_block_with(isa, state, raw.block(k), out.block(k), raw.nchans, raw.nsamp);
  }
  return out;
}

}  // namespace filter_test
