#include "sample_writer.h"

#include <cstring>
#include <vector>

#include "kivo/datagram.h"

namespace kivo::exporter {
namespace {

constexpr size_t kSlotsPerWrite = 512;

static_assert(sizeof(float) == 4, "the data file holds IEEE 754 single precision");

// One slot's samples as little-endian floats at `out`.
void convert(const uint8_t* datagram, size_t count, float offset, uint8_t* out) {
  const uint8_t* in = kivo::sample_run(datagram);
  for (size_t i = 0; i < count; ++i, in += 2, out += 4) {
    const float value = static_cast<float>(kivo::load_u16le(in)) - offset;
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    out[0] = static_cast<uint8_t>(bits);
    out[1] = static_cast<uint8_t>(bits >> 8);
    out[2] = static_cast<uint8_t>(bits >> 16);
    out[3] = static_cast<uint8_t>(bits >> 24);
  }
}

}  // namespace

int write_samples(const inspect::Slots& slots, const Plan& plan, kivo::BlockFile& out,
                  const inspect::Progress& progress) {
  const size_t per_slot = slots.layout().geometry.samples_per_datagram();
  const float offset = slots.layout().kind == kivo::FileKind::filtered ? kFilteredOffset : 0.0F;
  std::vector<uint8_t> buffer(kSlotsPerWrite * per_slot * 4);
  size_t filled = 0;
  const uint64_t total = plan.exported.size();
  for (uint64_t i = 0; i < total; ++i) {
    convert(slots.datagram(plan.exported[i]), per_slot, offset, buffer.data() + filled);
    filled += per_slot * 4;
    if (filled == buffer.size() || i + 1 == total) {
      if (const int error = out.append(buffer.data(), filled); error != 0) return error;
      filled = 0;
      if (progress) progress(i + 1, total);
    }
  }
  return 0;
}

}  // namespace kivo::exporter
