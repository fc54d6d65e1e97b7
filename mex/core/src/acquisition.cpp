// 'open', 'close' and 'status' of the acquisition core.
#include "velto/acquisition.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "kivo/clock.h"
#include "kivo/file_names.h"
#include "velto/socket_messages.h"

namespace velto {
namespace {

constexpr const char* kUsageAlreadyOpen = "velto: already open, call velto('close') first";
constexpr const char* kInvalidPort = "velto: invalid port (must be between 1 and 65535)";
constexpr const char* kInvalidChannels = "velto: invalid # of channels (must be between 1 and 16)";
constexpr const char* kInvalidFilter =
    "velto: filter coefficients MUST describe 2nd order butterworth!";

// The port as the user gave it, truncated toward zero; NaN and values outside
// 1..65535 are refused rather than wrapped to their low 16 bits.
int checked_port(double value) {
  if (!(value >= 1.0 && value < 65536.0)) throw std::runtime_error(kInvalidPort);
  return static_cast<int>(value);
}

// The channel count truncated toward zero: doubles from 1.0 up to but not
// including 17.0 are accepted.
uint32_t checked_channels(double value) {
  if (!(value >= 1.0 && value < 17.0)) throw std::runtime_error(kInvalidChannels);
  return static_cast<uint32_t>(value);
}

std::string format(const char* pattern, const std::string& text) {
  std::string out(pattern);
  const auto at = out.find("%s");
  return at == std::string::npos ? out : out.replace(at, 2, text);
}

// The five coefficients of a request that set_up_filter accepted.
std::array<double, 5> first_five(const std::vector<double>& values) {
  std::array<double, 5> out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = values[i];
  return out;
}

}  // namespace

AcquisitionState::AcquisitionState(Console console) : console_(std::move(console)) {}

AcquisitionState::~AcquisitionState() { close(); }

int32_t AcquisitionState::open(const OpenRequest& request) {
  check_not_running();
  const int port = checked_port(request.port);
  const uint32_t channels = checked_channels(request.nchans);
  release_leftovers();
  const kivo::TimeReading now = time_for_files(request);
  try {
    open_files(request, port, channels, now);
    size_buffers(channels);
    N.store(0);
    reader.store(0);
    open_socket(static_cast<uint16_t>(port));
    port_ = port;
    start_threads();
  } catch (...) {
    discard_files();
    throw;
  }
  running_ = true;
  console_("UDP connection to @ port " + std::to_string(port) + " opened...\n");
  return static_cast<int32_t>(nsamp);
}

void AcquisitionState::check_not_running() const {
  if (running_) throw std::runtime_error(kUsageAlreadyOpen);
}

// An 'open' that failed part-way leaves its files and socket held until
// 'close'; a new 'open' releases them first.
void AcquisitionState::release_leftovers() {
  sock.close();
  socket_library_.reset();
  close_files();
  removed_.clear();  // nothing was acquired into them
  finish_metadata(kivo::EndReason::closed, false);
}

// One reading of the clock names both files. A recording is never written
// over: when this second's names are taken (an 'open' in the same second),
// the files take the next second's; when those are taken too, nothing is created.
kivo::TimeReading AcquisitionState::time_for_files(const OpenRequest& request) const {
  auto names = [&request](const std::tm& local) {
    std::vector<std::string> paths{kivo::raw_file_name(request.savedir, local)};
    if (request.with_filter) paths.push_back(kivo::filtered_file_name(request.savedir, local));
    return paths;
  };
  const kivo::TimeReading now =
      kivo::time_for_new_names([&](const std::tm& local) { return !kivo::existing_file_among(names(local)).empty(); });
  const std::string taken = kivo::existing_file_among(names(now.local));
  if (!taken.empty()) throw std::runtime_error("velto: " + taken + " exists and is not overwritten");
  return now;
}

void AcquisitionState::open_files(const OpenRequest& request, int port, uint32_t channels,
                                  const kivo::TimeReading& now) {
  const std::string raw = kivo::raw_file_name(request.savedir, now.local);
  const bool raw_open = fp.open(raw, kivo::FileMode::create_new) == 0;
  if (!raw_open) console_(format("Could not open %s, samples will not be saved!\n", raw));
  kivo::Metadata raw_metadata = kivo::make_metadata(kivo::FileKind::raw, channels, port, now, raw);
  if (request.with_filter) {
    set_up_filter(request, kivo::filtered_file_name(request.savedir, now.local));
  } else {
    filt.reset();
  }
  if (filt && filtered_file_.is_open()) {
    kivo::Metadata filtered_metadata = raw_metadata;
    filtered_metadata.kind = kivo::FileKind::filtered;
    filtered_metadata.sample_file = kivo::base_name(filtered_file_.path());
    filtered_metadata.companion_file = raw_open ? raw_metadata.sample_file : std::string();
    filtered_metadata.filter = kivo::coefficients_as_stored(first_five(request.b), first_five(request.a));
    start_metadata(filtered_metadata_, filtered_file_.path(), filtered_metadata);
    raw_metadata.companion_file = filtered_metadata.sample_file;
  }
  if (raw_open) start_metadata(raw_metadata_, raw, raw_metadata);
}

void AcquisitionState::start_metadata(kivo::MetadataFile& file, const std::string& sample_path,
                                      const kivo::Metadata& metadata) {
  if (file.start(sample_path, metadata) != 0) {
    console_(format("Could not open %s, metadata will not be saved!\n", file.path()));
  }
}

void AcquisitionState::set_up_filter(const OpenRequest& request, const std::string& path) {
  if (request.b.size() != 5 || request.a.size() != 5) throw std::runtime_error(kInvalidFilter);
  filt = std::make_unique<kivo::FilterState>();
  filtered_file_ = kivo::BlockFile{};
  for (size_t i = 0; i < 5; ++i) {
    filt->b[i] = static_cast<float>(request.b[i]);
    filt->a[i] = static_cast<float>(request.a[i]);
  }
  if (filtered_file_.open(path, kivo::FileMode::create_new) != 0) {
    console_(format("Could not open %s, filtered samples will not be saved!\n", path));
  }
}

void AcquisitionState::size_buffers(uint32_t channels) {
  const kivo::Geometry g = kivo::make_geometry(channels);
  nchans = g.nchans;
  nsamp = static_cast<size_t>(g.nsamp);
  datagram_size_bytes = g.datagram_size_bytes;
  total_bytes = g.stamped_block_bytes;
  // A resize to the same size neither allocates nor moves. The bytes are
  // cleared: slots that failed receives leave unfilled are saved as they
  // stand, and must not hold an earlier acquisition's samples (of another
  // channel count, perhaps) as if they were this one's.
  vreadbuf.assign(2 * static_cast<size_t>(total_bytes), 0);
  vfilt2disk.assign(static_cast<size_t>(total_bytes), 0);
}

void AcquisitionState::open_socket(uint16_t port) {
  auto fail = [this](SocketStep step, int code) {
    const SocketFailure failure = describe_socket_failure(step, code);
    if (!failure.printed.empty()) console_(failure.printed);
    throw std::runtime_error(failure.raised);
  };
  // The socket library (Winsock) is started for each acquisition and released
  // by 'close', so an 'open' after 'close' finds it running again.
  if (!socket_library_) socket_library_.emplace();
  if (int code = sock.create()) fail(SocketStep::create, code);
  if (int code = sock.set_reuse_address()) fail(SocketStep::reuse_address, code);
  if (int code = sock.bind_any(port)) fail(SocketStep::bind, code);
  // Several block periods of buffering ride out a slow write or a busy host.
  // At 20,000 datagrams/s a block period is 50 ms, and a virtual disk can
  // hold a write up for longer: 32 MiB keeps over a second of 16 channels
  // (a 10-minute soak dropped datagrams behind two stalls with 8 MiB).
  const int wanted = receive_buffer_request_ > 0 ? receive_buffer_request_
                                                 : std::max(32 << 20, 4 * total_bytes);
  socket_buffer_bytes_ = sock.request_receive_buffer(wanted);
  sock.enable_drop_count();
}

void AcquisitionState::start_threads() {
  counters_.reset();
  handover_.reset();
  block_epoch_.store(0);
  sequence_ = SequenceTracker{};
  wrong_sizes_.reset(static_cast<size_t>(datagram_size_bytes));
  bContinue.store(true);
  try {
    receiver_ = std::thread(&AcquisitionState::udprcv_threadfunc, this);
  } catch (const std::system_error&) {
    throw std::runtime_error("Could not spawn off pthread");
  }
  try {
    saver_ = std::thread(&AcquisitionState::savedata_threadfunc, this);
  } catch (const std::system_error&) {
    stop_threads();
    throw std::runtime_error("Could not spawn off file saving pthread");
  }
}

void AcquisitionState::close(kivo::EndReason reason) {
  const bool was_running = running_;
  bContinue.store(false);
  stop_threads();
  if (was_running) count_to_the_end();
  sock.close();
  socket_library_.reset();
  if (was_running) flush_files_to_disk();
  close_files();
  finish_metadata(reason, was_running);
  N.store(0);
  running_ = false;
  if (was_running) report_problems();
  removed_.clear();
}

void AcquisitionState::stop_threads() {
  bContinue.store(false);
  sock.interrupt();   // wakes a receive that is waiting for a datagram
  handover_.stop();   // wakes a receiver waiting for its half, and the saver
  if (receiver_.joinable()) receiver_.join();
  if (saver_.joinable()) saver_.join();
}

// With the receiver stopped: the datagrams still queued on the socket are
// taken and counted as received but not saved (and as of a wrong size, as
// the receiver counts them), and the system's own drop count, which also
// holds the drops after the last datagram received, replaces the one that
// datagram brought when it is larger.
void AcquisitionState::count_to_the_end() {
  constexpr uint64_t kDrainLimit = uint64_t{1} << 22;  // far more than the socket holds
  std::vector<uint8_t> scratch(static_cast<size_t>(datagram_size_bytes));
  uint64_t drained = 0;
  for (; drained < kDrainLimit; ++drained) {
    const kivo::net::Received received = sock.receive_queued(scratch.data(), scratch.size());
    if (received.length < 0) break;
    if (wrong_sizes_.note(received)) {
      counters_.wrong_size_datagrams.fetch_add(1, std::memory_order_relaxed);
    }
  }
  counters_.datagrams.fetch_add(drained, std::memory_order_relaxed);
  counters_.datagrams_not_saved.fetch_add(drained, std::memory_order_relaxed);
  uint64_t drops = 0;
  if (sock.read_drop_total(drops) && drops > counters_.kernel_drops.load()) {
    counters_.kernel_drops.store(drops);
  }
}

// With the saver stopped: what the files hold reaches the disk before their
// metadata vouches for it. A failure counts, and is reported, as a failed write.
void AcquisitionState::flush_files_to_disk() {
  if (fp.is_open()) {
    if (const int error = fp.flush_to_disk()) {
      counters_.write_errors.fetch_add(1);
      counters_.last_write_error.store(error);
    }
  }
  if (filt && filtered_file_.is_open()) {
    if (const int error = filtered_file_.flush_to_disk()) {
      counters_.filtered_write_errors.fetch_add(1);
      counters_.last_filtered_write_error.store(error);
    }
  }
}

// A failed 'open' takes back the files it created: empty, they would only
// hold the name for the next 'open'.
void AcquisitionState::discard_files() {
  std::error_code ignored;
  for (kivo::BlockFile* file : {&fp, filt ? &filtered_file_ : nullptr}) {
    if (file == nullptr || !file->is_open()) continue;
    file->close();
    std::filesystem::remove(file->path(), ignored);
  }
  for (kivo::MetadataFile* metadata : {&raw_metadata_, &filtered_metadata_}) {
    if (metadata->active()) std::filesystem::remove(metadata->path(), ignored);
    *metadata = kivo::MetadataFile{};
  }
}

void AcquisitionState::close_files() {
  note_if_removed(fp);
  if (filt) note_if_removed(filtered_file_);
  if (fp.is_open() && fp.close() != 0) close_failed_ = fp.path();
  if (filt && filtered_file_.is_open() && filtered_file_.close() != 0) filtered_close_failed_ = filtered_file_.path();
}

// A sample file whose name (or folder) was removed while it was written
// takes its blocks with it when it is closed: that is said, not left silent.
void AcquisitionState::note_if_removed(const kivo::BlockFile& file) {
  if (!file.is_open()) return;
  std::error_code error;
  if (std::filesystem::exists(file.path(), error) || error) return;
  const uint64_t blocks = file.bytes_written() / static_cast<uint64_t>(total_bytes > 0 ? total_bytes : 1);
  removed_.push_back(file.path() + " was removed while it was written; the " + std::to_string(blocks) +
                     " block(s) saved to it are lost");
}

// With the threads joined and the files closed: what each file received,
// in its metadata file. Counters count only when this 'open' acquired.
void AcquisitionState::finish_metadata(kivo::EndReason reason, bool acquired) {
  kivo::RecordingTotals shared;
  if (acquired) {
    shared.datagrams_received = counters_.datagrams.load();
    shared.failed_receives = counters_.failed_receives.load();
    shared.sequence_gaps = counters_.sequence_gaps.load();
    shared.writer_stalls = counters_.writer_stalls.load();
    shared.kernel_drops = counters_.kernel_drops.load();
    shared.wrong_size_datagrams = counters_.wrong_size_datagrams.load();
    shared.datagrams_not_saved = counters_.datagrams_not_saved.load();
  }
  auto finish = [&](kivo::MetadataFile& metadata, uint64_t bytes_written, uint64_t write_errors,
                    bool close_failed) {
    if (!metadata.active()) return;
    kivo::RecordingTotals totals = shared;
    totals.blocks_written = bytes_written / static_cast<uint64_t>(metadata.metadata().block_bytes());
    totals.slots_written = totals.blocks_written * kivo::kSlotsPerBlock;
    totals.write_errors = (acquired ? write_errors : 0) + (close_failed ? 1 : 0);
    if (const int error = metadata.finish(totals, reason)) {
      console_("velto: warning: could not complete " + metadata.path() + " (" +
               kivo::file_error_text(error) + ")\n");
    }
  };
  finish(raw_metadata_, fp.bytes_written(), counters_.write_errors.load(),
         !close_failed_.empty() && close_failed_ == fp.path());
  const bool filtered = filt != nullptr;
  finish(filtered_metadata_, filtered ? filtered_file_.bytes_written() : 0,
         counters_.filtered_write_errors.load(),
         filtered && !filtered_close_failed_.empty() && filtered_close_failed_ == filtered_file_.path());
}

void AcquisitionState::report_problems() {
  auto warn = [this](const std::string& text) { console_("velto: warning: " + text + "\n"); };
  const auto& c = counters_;
  if (auto n = c.write_errors.load()) {
    warn(std::to_string(n) + " block(s) could not be written to " + fp.path() + " (" +
         kivo::file_error_text(c.last_write_error.load()) + ")");
  }
  if (auto n = c.filtered_write_errors.load()) {
    warn(std::to_string(n) + " block(s) could not be written to " + filtered_path() + " (" +
         kivo::file_error_text(c.last_filtered_write_error.load()) + ")");
  }
  if (auto n = c.writer_stalls.load()) {
    warn("the writer fell behind " + std::to_string(n) + " time(s) while saving to " + fp.path() +
         "; datagrams the socket could not hold meanwhile are counted as kernel drops");
  }
  if (auto n = c.kernel_drops.load()) {
    warn(std::to_string(n) + " datagram(s) were dropped by the system before they reached " +
         fp.path());
  }
  if (const uint64_t n = wrong_sizes_.count()) {
    warn(kivo::wrong_size_summary(n, wrong_sizes_.most_frequent_length(), datagram_size_bytes,
                                  static_cast<uint32_t>(nchans)));
  }
  for (const std::string& removed : removed_) warn(removed);
  removed_.clear();
  for (std::string* failed : {&close_failed_, &filtered_close_failed_}) {
    if (!failed->empty()) warn("closing " + *failed + " failed; its last block may be incomplete");
    failed->clear();
  }
}

AcquisitionStatus AcquisitionState::status() const {
  AcquisitionStatus s;
  s.running = running_;
  s.port = port_;
  s.nchans = nchans;
  s.nsamp = nsamp;
  s.datagrams = counters_.datagrams.load();
  s.bytes = counters_.bytes.load();
  s.failed_receives = counters_.failed_receives.load();
  s.sequence_gaps = counters_.sequence_gaps.load();
  s.blocks_saved = counters_.blocks_saved.load();
  s.writer_stalls = counters_.writer_stalls.load();
  s.write_errors = counters_.write_errors.load() + counters_.filtered_write_errors.load();
  s.kernel_drops = counters_.kernel_drops.load();
  s.wrong_size_datagrams = counters_.wrong_size_datagrams.load();
  s.datagrams_not_saved = counters_.datagrams_not_saved.load();
  s.socket_buffer_bytes = socket_buffer_bytes_;
  return s;
}

}  // namespace velto
