#include "datagram_source.h"

#include <algorithm>
#include <cstring>

#include "kivo/datagram.h"
#include "random_bits.h"

namespace kivo::sim {
namespace {

constexpr double kDefaultBaseHz = 43.0;
constexpr double kUnpacedRate = 1000.0;  // the sine's datagram rate when sending flat out
constexpr double kMinSamplesPerPeriod = 8.0;
constexpr size_t kContentKindByte = 7;

bool every(uint64_t n, uint64_t number) { return n != 0 && number % n == 0; }

kivo::SampleContent encoder_content(Content content) {
  // Random samples overwrite the pattern, which is the cheaper of the two to encode.
  return content == Content::sine ? kivo::SampleContent::sine : kivo::SampleContent::pattern;
}

}  // namespace

Fault FaultPlan::fault_of(uint64_t number) const {
  if (every(empty_every, number)) return Fault::empty;
  if (every(short_every, number)) return Fault::cut_short;
  if (every(long_every, number)) return Fault::too_long;
  return Fault::none;
}

bool FaultPlan::skip_before(uint64_t number) const { return number > 1 && every(skip_every, number - 1); }

kivo::SineSettings sine_settings_for(const Options& options, const kivo::Geometry& geometry) {
  kivo::SineSettings sine;
  const double rate = options.rate > 0 ? options.rate : kUnpacedRate;
  sine.sample_rate_hz = rate * geometry.nsamp;
  // Channel c runs at base x (c+1); by default the fastest channel keeps at
  // least a few samples per period, so slow rates still plot as sine waves.
  const double highest = static_cast<double>(geometry.nchans);
  sine.base_hz = options.sine_base_hz > 0
                     ? options.sine_base_hz
                     : std::min(kDefaultBaseHz, sine.sample_rate_hz / (kMinSamplesPerPeriod * highest));
  sine.noise = options.noise;
  return sine;
}

DatagramSource::DatagramSource(const kivo::Geometry& geometry, const Options& options)
    : geometry_(geometry),
      content_(options.content),
      faults_{options.skip_every, options.empty_every, options.short_every, options.long_every},
      encoder_(geometry, encoder_content(options.content), sine_settings_for(options, geometry)),
      seq_(options.start_seq),
      random_state_(options.seed) {}

size_t DatagramSource::capacity() const {
  return static_cast<size_t>(geometry_.datagram_size_bytes) + kLongExtraBytes;
}

Produced DatagramSource::next(uint8_t* out) {
  const uint64_t number = ++produced_;
  if (faults_.skip_before(number)) {
    seq_ = kivo::next_sequence(seq_);
    ++index_;
    ++skipped_;
  }
  Produced result;
  result.seq = seq_;
  result.index = index_;
  result.fault = faults_.fault_of(number);
  const auto full = static_cast<size_t>(geometry_.datagram_size_bytes);
  encoder_.encode(out, seq_, index_);
  if (content_ == Content::random) {
    out[kContentKindByte] = kRandomContentMark;
    fill_random(kivo::sample_run(out), full - kivo::kHeaderBytes);
  }
  switch (result.fault) {
    case Fault::none: result.size = full; break;
    case Fault::empty: result.size = 0; break;
    case Fault::cut_short: result.size = full / 2; break;
    case Fault::too_long:
      std::memset(out + full, kLongFillByte, kLongExtraBytes);
      result.size = full + kLongExtraBytes;
      break;
  }
  seq_ = kivo::next_sequence(seq_);
  ++index_;
  return result;
}

void DatagramSource::fill_random(uint8_t* samples, size_t bytes) {
  size_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    const uint64_t r = splitmix64(random_state_);
    std::memcpy(samples + i, &r, 8);
  }
  if (i < bytes) {
    const uint64_t r = splitmix64(random_state_);
    std::memcpy(samples + i, &r, bytes - i);
  }
}

}  // namespace kivo::sim
