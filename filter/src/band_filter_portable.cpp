// The band filter in plain C++: every channel in turn, every operation in the
// fixed order. The reference for the vector kernels, and the kernel where no
// vector kernel is built.
#include <cstring>

#include "band_filter_kernels.h"
#include "kivo/band_filter.h"
#include "kivo/datagram.h"
#include "kivo/geometry.h"

namespace kivo {
namespace filter_detail {
namespace {

constexpr size_t kMaxPortableChannels = kHistoryEntries / kHistorySteps;

struct ChannelHistory {
  float x[5];  // x[k]: input k steps back
  float y[5];  // y[k]: fed-back output k steps back (stored value - 32767)
};

float fed_back(uint16_t stored) { return static_cast<float>(int{stored} - 32767); }

}  // namespace

uint64_t filter_portable(const BlockJob& job) {
  const size_t nchans = job.nchans;
  if (nchans == 0 || nchans > kMaxPortableChannels) return 0;
  const float* b = job.b;
  const float* a = job.a;
  ChannelHistory h[kMaxPortableChannels]{};
  for (size_t c = 0; c < nchans; ++c) {
    for (size_t k = 1; k <= kHistorySteps; ++k) {
      const size_t entry = (kHistorySteps - k) * nchans + c;
      h[c].x[k] = static_cast<float>(job.x_history[entry]);
      h[c].y[k] = fed_back(job.y_history[entry]);
    }
  }
  const size_t head = kivo::kStampBytes + kivo::kHeaderBytes;
  uint64_t clipped = 0;
  for (size_t slot = 0; slot < job.slots; ++slot) {
    const uint8_t* in = job.raw + slot * job.slot_bytes;
    uint8_t* out = job.out + slot * job.slot_bytes;
    std::memcpy(out, in, head);
    for (size_t i = 0; i < job.nsamp * nchans; ++i) {
      ChannelHistory& ch = h[i % nchans];
      ch.x[0] = static_cast<float>(kivo::load_u16le(in + head + 2 * i));
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
      clipped += output_clipped(s) ? 1 : 0;
      kivo::store_u16le(out + head + 2 * i, stored);
      for (size_t k = kHistorySteps; k > 0; --k) {
        ch.x[k] = ch.x[k - 1];
        ch.y[k] = ch.y[k - 1];
      }
      ch.y[1] = fed_back(stored);
    }
  }
  return clipped;
}

}  // namespace filter_detail
}  // namespace kivo
