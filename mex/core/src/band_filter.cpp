#include "velto/band_filter.h"

#include <cstring>

#include "kivo/datagram.h"
#include "kivo/geometry.h"

namespace velto {
namespace {

constexpr int kOutputOffset = 32767;

struct ChannelHistory {
  float x[5];  // x[k]: input k steps back
  float y[5];  // y[k]: fed-back output k steps back (stored value - 32767)
};

}  // namespace

uint16_t encode_output(float sum) {
  // NaN fails both comparisons; the range check also rejects infinities.
  if (!(sum > -2147483648.0f && sum < 2147483648.0f)) return 0;
  const long long value = static_cast<long long>(static_cast<int32_t>(sum)) + kOutputOffset;
  if (value < 0) return 0;
  if (value > 65535) return 65535;
  return static_cast<uint16_t>(value);
}

void filter_block(FilterState& filt, const uint8_t* raw, uint8_t* out, size_t nchans, size_t nsamp) {
  const size_t slot_bytes = 2 * nsamp * nchans + kivo::kStampBytes + kivo::kHeaderBytes;
  const float* b = filt.b.data();
  const float* a = filt.a.data();
  ChannelHistory h[kHistoryEntries / kHistorySteps]{};
  for (size_t c = 0; c < nchans; ++c) {
    for (size_t k = 1; k <= kHistorySteps; ++k) {
      const size_t entry = (kHistorySteps - k) * nchans + c;
      h[c].x[k] = static_cast<float>(filt.x_history[entry]);
      h[c].y[k] = static_cast<float>(int{filt.y_history[entry]} - kOutputOffset);
    }
  }
  for (int slot = 0; slot < kivo::kSlotsPerBlock; ++slot) {
    const uint8_t* in_slot = raw + slot * slot_bytes;
    uint8_t* out_slot = out + slot * slot_bytes;
    std::memcpy(out_slot, in_slot, kivo::kStampBytes + kivo::kHeaderBytes);
    const uint8_t* in = in_slot + kivo::kStampBytes + kivo::kHeaderBytes;
    uint8_t* result = out_slot + kivo::kStampBytes + kivo::kHeaderBytes;
    for (size_t i = 0; i < nsamp * nchans; ++i) {
      ChannelHistory& ch = h[i % nchans];
      ch.x[0] = static_cast<float>(kivo::load_u16le(in + 2 * i));
      float s = b[0] * ch.x[0] + b[1] * ch.x[1];
      s = s + b[2] * ch.x[2];
      s = s + b[3] * ch.x[3];
      s = s + b[4] * ch.x[4];
      s = s - a[1] * ch.y[1];
      s = s - a[2] * ch.y[2];
      s = s - a[3] * ch.y[3];
      s = s - a[4] * ch.y[4];
      s = s + 0.5f;
      const uint16_t stored = encode_output(s);
      kivo::store_u16le(result + 2 * i, stored);
      for (size_t k = kHistorySteps; k > 0; --k) {
        ch.x[k] = ch.x[k - 1];
        ch.y[k] = ch.y[k - 1];
      }
      ch.y[1] = static_cast<float>(int{stored} - kOutputOffset);
    }
  }
  // The last four time steps of the block carry the filter into the next one.
  const size_t entries = kHistorySteps * nchans;
  const size_t tail = slot_bytes * kivo::kSlotsPerBlock - 2 * entries;
  for (size_t i = 0; i < entries; ++i) {
    filt.x_history[i] = kivo::load_u16le(raw + tail + 2 * i);
    filt.y_history[i] = kivo::load_u16le(out + tail + 2 * i);
  }
}

}  // namespace velto
