// The metadata file beside every sample file ("..._kivo_samples.json" beside
// "..._kivo_samples.dat"): everything a reader needs to take the sample file
// apart - kind, channel count, slot and block sizes - and what happened while
// it was written. The sample file holds nothing but its slots.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kivo/clock.h"
#include "kivo/geometry.h"
#include "kivo/recording_totals.h"
#include "kivo/sample_timing.h"
#include "kivo/slot_anchors.h"

namespace kivo {

inline constexpr const char* kMetadataFormat = "kivo-samples-metadata";
inline constexpr int kMetadataVersion = 1;

enum class FileKind { raw, filtered, recorder };

// How the recording ended; `running` until it has.
enum class EndReason {
  running,
  closed,         // velto('close')
  unloaded,       // the plug-in was unloaded, or the host exited, while acquiring
  ctrl_c,         // kivorec stopped by Ctrl-C
  signal,         // kivorec stopped by another console signal (SIGTERM)
  write_error,    // kivorec could not write a block
  receive_error,  // kivorec's receive failed
  socket_error,   // kivorec could not set up its socket
};

const char* kind_name(FileKind kind);
const char* end_reason_name(EndReason reason);
// Stamped slots (8-byte receive time before the datagram): raw and filtered.
bool is_stamped(FileKind kind);

// The filter of a filtered file: the coefficients as given, and as the filter
// holds and uses them (single precision).
struct FilterCoefficients {
  std::array<double, 5> b{};
  std::array<double, 5> a{};
  std::array<float, 5> b_stored{};
  std::array<float, 5> a_stored{};
};
FilterCoefficients coefficients_as_stored(const std::array<double, 5>& b, const std::array<double, 5>& a);

struct EventsSummary {
  std::string file;  // base name; empty: none was written
  uint64_t rows = 0;
};

struct Metadata {
  FileKind kind = FileKind::raw;
  uint32_t nchans = 0;
  int port = 0;
  TimeReading started;
  std::string host;
  std::string software_version;
  std::string sample_file;     // base name of the sample file
  std::string companion_file;  // raw <-> filtered file of the same 'open'; empty otherwise
  std::optional<FilterCoefficients> filter;
  RecordingTotals totals;
  EndReason end = EndReason::running;
  // The device's clock fitted to the receive stamps ("timing"), once the
  // recording has ended.
  std::optional<SampleTiming> timing;
  // A file without stamps: the slots its sequence numbers alone do not place
  // ("slot_anchors", kivo/slot_anchors.h), once the recording has ended.
  std::optional<std::vector<SlotAnchor>> slot_anchors;
  // The events file of the recording ("events_file", its base name; null
  // when nothing was marked) and its rows ("event_count"), once the
  // recording has ended. Files from before markers have neither.
  std::optional<EventsSummary> events;

  Geometry geometry() const { return make_geometry(nchans); }
  int32_t slot_bytes() const;
  int64_t block_bytes() const { return geometry().block_bytes(is_stamped(kind)); }
};

// A new recording's metadata: kind, channels (1 to 16), port, the clock
// reading that named the file, this host and this software's version.
Metadata make_metadata(FileKind kind, uint32_t nchans, int port, const TimeReading& started,
                       const std::string& sample_path);

// "x/y_kivo_samples.dat" -> "x/y_kivo_samples.json"; other names get ".json" appended.
std::string metadata_path_for(const std::string& sample_path);
// The part of a path after its last separator.
std::string base_name(const std::string& path);
// "2015-03-07T14:05:09+01:00" for a local time, "2015-03-07T13:05:09Z" for UTC.
std::string iso8601_local(const TimeReading& reading);
std::string iso8601_utc(const TimeReading& reading);

// The JSON text of a metadata file, indented, fields in a fixed order.
std::string metadata_json_text(const Metadata& metadata);

// A metadata file that is not what this software writes.
class MetadataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Reads what metadata_json_text wrote (and later versions that add fields).
// Throws MetadataError naming the first field that is missing or wrong,
// including a layout that does not follow from the channel count.
Metadata parse_metadata_json(const std::string& text);

// The metadata file of one sample file: written when the sample file is
// created and rewritten, whole and atomically, when the recording ends.
// One thread at a time (the thread that owns the recording).
class MetadataFile {
 public:
  // Writes `metadata` beside its sample file. Returns 0 or the error code;
  // after an error finish() tries again, so that a sample file is not left
  // without its description when the disk has room again by then.
  int start(const std::string& sample_path, const Metadata& metadata);
  // The fitted clock, and a file without stamps its anchors, that finish()
  // writes.
  void set_timing(const SampleTiming& timing, std::optional<std::vector<SlotAnchor>> anchors);
  // The events file that finish() names.
  void set_events(const EventsSummary& events) { metadata_.events = events; }
  // Rewrites it with the totals and the ending. Returns 0 or the error code;
  // does nothing (0) when start() was not called or finish() already ran.
  int finish(const RecordingTotals& totals, EndReason end);
  // Between start() and finish().
  bool active() const { return active_; }
  // The file is on the disk: start() or finish() wrote it.
  bool written() const { return written_; }
  const std::string& path() const { return path_; }
  const Metadata& metadata() const { return metadata_; }

 private:
  Metadata metadata_;
  std::string path_;
  bool active_ = false;
  bool written_ = false;
};

}  // namespace kivo
