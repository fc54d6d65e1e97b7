#include "kivo/encoder.h"

#include <algorithm>
#include <cmath>

#include "kivo/datagram.h"

namespace kivo {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kMidScale = 32768.0;

void store_u32le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

DatagramEncoder::DatagramEncoder(const Geometry& geometry, SampleContent content, SineSettings sine)
    : geometry_(geometry), content_(content), sine_(sine), step_(geometry.nchans) {
  for (size_t c = 0; c < step_.size(); ++c) {
    step_[c] = kTwoPi * sine_.base_hz * static_cast<double>(c + 1) / sine_.sample_rate_hz;
  }
}

void DatagramEncoder::encode(uint8_t* out, uint16_t seq, uint32_t index) {
  write_header(out, seq, index);
  if (content_ == SampleContent::pattern) {
    write_pattern(sample_run(out), seq);
  } else {
    write_sine(sample_run(out), index);
  }
}

void DatagramEncoder::write_header(uint8_t* out, uint16_t seq, uint32_t index) const {
  out[0] = kHeaderMagic0;
  out[1] = kHeaderMagic1;
  store_u32le(out + 2, index);
  out[6] = static_cast<uint8_t>(geometry_.nchans);
  out[7] = static_cast<uint8_t>(content_);
  store_u16le(out + 8, static_cast<uint16_t>(~seq));
  store_u16le(out + kSequenceOffset, seq);
}

void DatagramEncoder::write_pattern(uint8_t* samples, uint16_t seq) const {
  const size_t nchans = geometry_.nchans;
  for (size_t t = 0; t < static_cast<size_t>(geometry_.nsamp); ++t) {
    for (size_t c = 0; c < nchans; ++c) {
      store_u16le(samples + 2 * (t * nchans + c), pattern_sample(seq, c, t));
    }
  }
}

void DatagramEncoder::write_sine(uint8_t* samples, uint32_t index) {
  const size_t nchans = geometry_.nchans;
  const auto nsamp = static_cast<size_t>(geometry_.nsamp);
  const double first = static_cast<double>(index) * static_cast<double>(nsamp);
  for (size_t c = 0; c < nchans; ++c) {
    // The phase comes from the global sample number once per datagram, then
    // advances by rotation: two trigonometric calls per channel and datagram
    // keep the simulator fast enough for 100,000 datagrams per second.
    const double phase0 = std::fmod(first * step_[c], kTwoPi);
    const double amplitude = sine_.amplitude / (1.0 + 0.15 * static_cast<double>(c));
    const double rot_cos = std::cos(step_[c]);
    const double rot_sin = std::sin(step_[c]);
    double re = std::cos(phase0);
    double im = std::sin(phase0);
    for (size_t t = 0; t < nsamp; ++t) {
      const double noise = sine_.noise * ((next_random() >> 8) * (2.0 / 16777216.0) - 1.0);
      const double v = std::clamp(kMidScale + amplitude * im + noise, 0.0, 65535.0);
      store_u16le(samples + 2 * (t * nchans + c), static_cast<uint16_t>(v));
      const double next_re = re * rot_cos - im * rot_sin;
      im = im * rot_cos + re * rot_sin;
      re = next_re;
    }
  }
}

uint32_t DatagramEncoder::next_random() {
  uint32_t x = random_state_;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  random_state_ = x;
  return x;
}

bool header_matches(const uint8_t* datagram, uint16_t seq, uint32_t index, uint32_t nchans) {
  const uint32_t stored_index = uint32_t{datagram[2]} | (uint32_t{datagram[3]} << 8) |
                                (uint32_t{datagram[4]} << 16) | (uint32_t{datagram[5]} << 24);
  return datagram[0] == kHeaderMagic0 && datagram[1] == kHeaderMagic1 && stored_index == index &&
         datagram[6] == nchans && load_u16le(datagram + 8) == static_cast<uint16_t>(~seq) &&
         sequence_number(datagram) == seq;
}

bool pattern_matches(const uint8_t* datagram, const Geometry& geometry) {
  const uint16_t seq = sequence_number(datagram);
  const size_t nchans = geometry.nchans;
  for (size_t t = 0; t < static_cast<size_t>(geometry.nsamp); ++t) {
    for (size_t c = 0; c < nchans; ++c) {
      if (sample_at(datagram, nchans, c, t) != pattern_sample(seq, c, t)) return false;
    }
  }
  return true;
}

}  // namespace kivo
