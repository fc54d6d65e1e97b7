// The fields of 'status' and the counters behind them. One list,
// KIVO_STATUS_FIELDS, makes the counters that the worker threads keep, their
// reset, the snapshot that 'status' takes, the MEX structure, the Python dict
// and its docstring: a new field is a row of it plus the line that fills it
// (a worker's increment of a counter; Acquisition::status() for a value of
// the host thread).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <type_traits>

#include "kivo/recording_totals.h"

namespace kivo {

// The fields of 'status' in the order both gateways show them, one row each:
//   SET(name, type, words): a value that Acquisition::status() sets; its type
//     gives its kind (bool: a flag, std::string: a text, an integer: a count).
//   COUNTED(name, total, words): a count that the worker threads keep in
//     StatusCounters; `total` is the member of RecordingTotals it also fills
//     (the metadata files and the close warnings take it from there), or nullptr.
// The words describe the field in the Python docstring.
#define KIVO_STATUS_FIELDS(SET, COUNTED)                                                                 \
  SET(running, bool, "whether an acquisition runs")                                                      \
  SET(port, int, "the UDP port of the last 'open'")                                                      \
  SET(nchans, uint64_t, "the channel count of the last 'open'")                                          \
  SET(nsamp, uint64_t, "samples per channel in each datagram")                                           \
  COUNTED(datagrams, &RecordingTotals::datagrams_received, "receives that took a slot")                  \
  COUNTED(bytes, nullptr, "bytes those receives returned")                                               \
  COUNTED(failed_receives, &RecordingTotals::failed_receives, "receive attempts that took no slot")      \
  COUNTED(sequence_gaps, &RecordingTotals::sequence_gaps, "datagrams not numbered previous + 1")         \
  COUNTED(blocks_saved, nullptr, "blocks written whole to the raw file")                                 \
  COUNTED(writer_stalls, &RecordingTotals::writer_stalls, "times the receiver waited for the writer")    \
  SET(write_errors, uint64_t, "writes that failed, to the raw and the filtered file")                    \
  COUNTED(kernel_drops, &RecordingTotals::kernel_drops, "datagrams the system dropped on the socket")    \
  COUNTED(wrong_size_datagrams, &RecordingTotals::wrong_size_datagrams,                                  \
          "datagrams not of the channel count's size")                                                   \
  COUNTED(datagrams_not_saved, &RecordingTotals::datagrams_not_saved,                                    \
          "datagrams of the last, partial block that could not be written at 'close'")                   \
  SET(socket_buffer_bytes, int64_t, "the receive buffer the system granted the socket")                  \
  SET(saving, bool, "whether the raw file is being written")                                             \
  COUNTED(filtered_clipped_samples, &RecordingTotals::filtered_clipped_samples,                          \
          "filtered samples out of range, stored as 0 or 65535")                                         \
  SET(samples_missed, uint64_t, "datagrams 'samples' could no longer hand over: its caller fell behind") \
  SET(raw_file, std::string, "the raw samples file of the last 'open' (absolute); empty when none")      \
  SET(filtered_file, std::string, "the filtered samples file of the last 'open'; empty when none")

// A row that a part made from the list passes over.
#define KIVO_STATUS_SKIP(...)

// What a field holds; each gateway shows each kind in its own way.
enum class StatusKind { count, flag, text };

template <typename T>
constexpr StatusKind status_kind_of() {
  if constexpr (std::is_same_v<T, bool>) {
    return StatusKind::flag;
  } else if constexpr (std::is_same_v<T, std::string>) {
    return StatusKind::text;
  } else {
    static_assert(std::is_integral_v<T>, "a field of 'status' is a count, a flag or a text");
    return StatusKind::count;
  }
}

struct StatusField {
  const char* name;
  StatusKind kind;
  const char* words;
};

#define KIVO_STATUS_SET_INFO(name, type, words) {#name, status_kind_of<type>(), words},
#define KIVO_STATUS_COUNTED_INFO(name, total, words) {#name, StatusKind::count, words},
inline constexpr StatusField kStatusFields[] = {
    KIVO_STATUS_FIELDS(KIVO_STATUS_SET_INFO, KIVO_STATUS_COUNTED_INFO)};
#undef KIVO_STATUS_SET_INFO
#undef KIVO_STATUS_COUNTED_INFO
inline constexpr size_t kStatusFieldCount = std::size(kStatusFields);

// What 'status' returns: one member a field, each as its row declares it.
struct AcquisitionStatus {
#define KIVO_STATUS_SET_MEMBER(name, type, words) type name{};
#define KIVO_STATUS_COUNTED_MEMBER(name, total, words) uint64_t name = 0;
  KIVO_STATUS_FIELDS(KIVO_STATUS_SET_MEMBER, KIVO_STATUS_COUNTED_MEMBER)
#undef KIVO_STATUS_SET_MEMBER
#undef KIVO_STATUS_COUNTED_MEMBER
};

// Calls f(field, value) for every field of `status` in the list's order;
// value is the member (a bool, an integer or a std::string).
template <typename F>
void for_each_status_field(const AcquisitionStatus& status, F&& f) {
  const StatusField* field = kStatusFields;
#define KIVO_STATUS_VISIT(name, ...) f(*field++, status.name);
  KIVO_STATUS_FIELDS(KIVO_STATUS_VISIT, KIVO_STATUS_VISIT)
#undef KIVO_STATUS_VISIT
}

// Written by the worker threads (and by the host thread while none runs), read
// by any thread (relaxed: each counter is exact on its own, and the set is a
// snapshot only once the threads are joined).
struct StatusCounters {
#define KIVO_STATUS_COUNTER(name, total, words) std::atomic<uint64_t> name{0};
  KIVO_STATUS_FIELDS(KIVO_STATUS_SKIP, KIVO_STATUS_COUNTER)
#undef KIVO_STATUS_COUNTER

  // host thread, while no worker runs: every counter back to zero.
  void reset();
  // The COUNTED fields of 'status' (the SET ones left at their defaults).
  // Any thread.
  AcquisitionStatus snapshot() const;
  // The counts that every file of the acquisition shares, under the names of
  // the recording totals (not the per-file blocks_written, slots_written and
  // write_errors). Any thread; a snapshot once the threads are joined.
  RecordingTotals shared_totals() const;
};

// Where each COUNTED field lives in the counters, the snapshot and the totals.
struct CountedField {
  std::atomic<uint64_t> StatusCounters::*counter;
  uint64_t AcquisitionStatus::*shown;
  uint64_t RecordingTotals::*total;  // null: no recording total
};
#define KIVO_STATUS_COUNTED_ROW(name, total, words) {&StatusCounters::name, &AcquisitionStatus::name, total},
inline constexpr CountedField kCountedFields[] = {
    KIVO_STATUS_FIELDS(KIVO_STATUS_SKIP, KIVO_STATUS_COUNTED_ROW)};
#undef KIVO_STATUS_COUNTED_ROW
#undef KIVO_STATUS_SKIP

// reset() knows the listed counters alone; a member added beside them would
// keep its count from one 'open' to the next.
static_assert(sizeof(StatusCounters) == sizeof(std::atomic<uint64_t>) * std::size(kCountedFields),
              "a counter of StatusCounters belongs in KIVO_STATUS_FIELDS");

}  // namespace kivo
