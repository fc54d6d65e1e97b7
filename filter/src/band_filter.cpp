// The band filter's entry points: picks the kernel for this CPU, hands it the
// block, and keeps the last four time steps for the next block.
#include "kivo/band_filter.h"

#include <stdexcept>
#include <string>

#include "band_filter_kernels.h"
#include "kivo/datagram.h"
#include "kivo/geometry.h"

namespace kivo {
namespace {

using filter_detail::BlockJob;

constexpr int kOutputOffset = 32767;
constexpr size_t kMaxVectorChannels = 16;

bool cpu_runs(FilterIsa isa) {
  switch (isa) {
    case FilterIsa::portable: return true;
#if defined(KIVO_FILTER_X86)
    case FilterIsa::sse2: return true;  // every build for x86 requires SSE2
#endif
#if defined(KIVO_FILTER_AVX)
    case FilterIsa::avx2: __builtin_cpu_init(); return __builtin_cpu_supports("avx2");
    case FilterIsa::avx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vl");
#endif
    default: return false;
  }
}

uint64_t run_kernel(FilterIsa isa, const BlockJob& job) {
  if (job.nchans == 0 || job.nchans > kMaxVectorChannels) isa = FilterIsa::portable;
  switch (isa) {
#if defined(KIVO_FILTER_X86)
    case FilterIsa::sse2: return filter_detail::filter_sse2(job);
#endif
#if defined(KIVO_FILTER_AVX)
    case FilterIsa::avx2: return filter_detail::filter_avx2(job);
    case FilterIsa::avx512: return filter_detail::filter_avx512(job);
#endif
    default: return filter_detail::filter_portable(job);
  }
}

// The last four time steps of the block carry the filter into the next one.
void keep_histories(FilterState& filt, const uint8_t* raw, const uint8_t* out, size_t nchans,
                    size_t block_bytes) {
  const size_t entries = kHistorySteps * nchans;
  if (entries > kHistoryEntries) return;
  const size_t tail = block_bytes - 2 * entries;
  for (size_t i = 0; i < entries; ++i) {
    filt.x_history[i] = kivo::load_u16le(raw + tail + 2 * i);
    filt.y_history[i] = kivo::load_u16le(out + tail + 2 * i);
  }
}

}  // namespace

uint16_t encode_output(float sum) {
  // NaN fails both comparisons; the range check also rejects infinities.
  if (!(sum > -2147483648.0f && sum < 2147483648.0f)) return 0;
  const long long value = static_cast<long long>(static_cast<int32_t>(sum)) + kOutputOffset;
  if (value < 0) return 0;
  if (value > 65535) return 65535;
  return static_cast<uint16_t>(value);
}

std::vector<FilterIsa> available_filter_isas() {
  std::vector<FilterIsa> isas;
  for (FilterIsa isa : {FilterIsa::portable, FilterIsa::sse2, FilterIsa::avx2, FilterIsa::avx512}) {
    if (cpu_runs(isa)) isas.push_back(isa);
  }
  return isas;
}

FilterIsa default_filter_isa() {
  static const FilterIsa best = [] {
    for (FilterIsa isa : {FilterIsa::avx512, FilterIsa::avx2, FilterIsa::sse2}) {
      if (cpu_runs(isa)) return isa;
    }
    return FilterIsa::portable;
  }();
  return best;
}

const char* filter_isa_name(FilterIsa isa) {
  switch (isa) {
    case FilterIsa::portable: return "portable";
    case FilterIsa::sse2: return "sse2";
    case FilterIsa::avx2: return "avx2";
    case FilterIsa::avx512: return "avx512";
  }
  return "unknown";
}

namespace {

uint64_t filter_on(FilterIsa isa, FilterState& filt, const uint8_t* raw, uint8_t* out, size_t nchans,
                   size_t nsamp, size_t slots) {
  const auto slot_bytes =
      static_cast<size_t>(stamped_slot_size(static_cast<uint32_t>(nchans), static_cast<int32_t>(nsamp)));
  const BlockJob job{
      filt.b.data(), filt.a.data(), filt.x_history.data(), filt.y_history.data(), raw, out, nchans, nsamp,
      slot_bytes,    slots};
  const uint64_t clipped = run_kernel(isa, job);
  keep_histories(filt, raw, out, nchans, slot_bytes * slots);
  return clipped;
}

}  // namespace

uint64_t filter_block_with(FilterIsa isa, FilterState& filt, const uint8_t* raw, uint8_t* out, size_t nchans,
                           size_t nsamp, size_t slots) {
  if (!cpu_runs(isa)) {
    throw std::invalid_argument(std::string("band filter: ") + filter_isa_name(isa) +
                                " is not available here");
  }
  return filter_on(isa, filt, raw, out, nchans, nsamp, slots);
}

uint64_t filter_block(FilterState& filt, const uint8_t* raw, uint8_t* out, size_t nchans, size_t nsamp,
                      size_t slots) {
  return filter_on(default_filter_isa(), filt, raw, out, nchans, nsamp, slots);
}

}  // namespace kivo
