// Fuzzes the reading of metadata files (kivo::parse_metadata_json): any text
// is either refused with a MetadataError or read into a record that, written
// again, reads back as the same record.
#include <string>

#include "fuzz_input.h"
#include "kivo/metadata.h"

namespace {

using kivo_fuzz::fail;

bool same_totals(const kivo::RecordingTotals& a, const kivo::RecordingTotals& b) {
  bool same = true;
  kivo::for_each_total(
      a, [&](const kivo::TotalField& field, uint64_t count) { same = same && count == b.*(field.member); });
  return same;
}

bool same_filter(const std::optional<kivo::FilterCoefficients>& a,
                 const std::optional<kivo::FilterCoefficients>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  return a->b == b->b && a->a == b->a && a->b_stored == b->b_stored && a->a_stored == b->a_stored;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  kivo::Metadata first;
  try {
    first = kivo::parse_metadata_json(text);
  } catch (const kivo::MetadataError&) {
    return 0;  // refused, as it should be when it is not ours
  }
  kivo::Metadata again;
  try {
    again = kivo::parse_metadata_json(kivo::metadata_json_text(first));
  } catch (const kivo::MetadataError& e) {
    fail(e.what());
  }
  if (again.kind != first.kind || again.nchans != first.nchans || again.port != first.port ||
      again.end != first.end || !same_totals(again.totals, first.totals) ||
      !same_filter(again.filter, first.filter)) {
    fail("a metadata record does not read back as written");
  }
  if (first.block_bytes() != int64_t{first.slot_bytes()} * kivo::kSlotsPerBlock) fail("block size");
  return 0;
}
