// The counts a recording's writer keeps, and the one list of them that the
// metadata file, its reader and every report go through: a new count is a
// member and a row of kRecordingTotalFields, in the order the file lists it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kivo {

// What the writer counted; written when the recording ends.
struct RecordingTotals {
  uint64_t blocks_written = 0;  // whole blocks in the sample file
  uint64_t slots_written = 0;   // whole slots in it (a recorder's last block may be partial)
  uint64_t datagrams_received = 0;
  uint64_t failed_receives = 0;           // receive attempts that took no slot
  uint64_t sequence_gaps = 0;             // datagrams not numbered previous + 1
  uint64_t writer_stalls = 0;             // times the receiver waited for a slow writer
  uint64_t blocks_lost = 0;               // blocks the writer could not keep (recorder)
  uint64_t write_errors = 0;              // block writes (or the final close) that failed
  uint64_t kernel_drops = 0;              // datagrams the system dropped on the socket
  uint64_t wrong_size_datagrams = 0;      // datagrams not of the channel count's size
  uint64_t datagrams_not_saved = 0;       // received after the last block handed to the writer
  uint64_t filtered_clipped_samples = 0;  // filter outputs beyond what 0..65535 stores, clipped
};

struct TotalField {
  const char* key;    // the metadata field
  const char* words;  // what a report prints after the number
  uint64_t RecordingTotals::*member;
  bool in_every_file;  // false: files written before the count existed lack it
};

inline constexpr TotalField kRecordingTotalFields[] = {
    {"blocks_written", "blocks written", &RecordingTotals::blocks_written, true},
    {"slots_written", "slots written", &RecordingTotals::slots_written, true},
    {"datagrams_received", "datagrams received", &RecordingTotals::datagrams_received, true},
    {"failed_receives", "failed receives", &RecordingTotals::failed_receives, true},
    {"sequence_gaps", "sequence gaps", &RecordingTotals::sequence_gaps, true},
    {"writer_stalls", "writer stalls", &RecordingTotals::writer_stalls, true},
    {"blocks_lost", "blocks lost", &RecordingTotals::blocks_lost, true},
    {"write_errors", "write errors", &RecordingTotals::write_errors, true},
    {"kernel_drops", "kernel drops", &RecordingTotals::kernel_drops, true},
    {"wrong_size_datagrams", "wrong-size datagrams", &RecordingTotals::wrong_size_datagrams, false},
    {"datagrams_not_saved", "datagrams not saved", &RecordingTotals::datagrams_not_saved, false},
    {"filtered_clipped_samples", "filtered samples clipped", &RecordingTotals::filtered_clipped_samples,
     false},
};

// A member without its row would be left out of every file and report.
static_assert(sizeof(RecordingTotals) ==
                  sizeof(uint64_t) * (sizeof kRecordingTotalFields / sizeof kRecordingTotalFields[0]),
              "every member of RecordingTotals needs its row in kRecordingTotalFields");

// Calls f(field, count) for every count in the list's order; count is a
// reference into `totals` (const when totals is).
template <typename Totals, typename F>
void for_each_total(Totals& totals, F&& f) {
  static_assert(std::is_same_v<std::remove_const_t<Totals>, RecordingTotals>);
  for (const TotalField& field : kRecordingTotalFields) f(field, totals.*(field.member));
}

}  // namespace kivo
