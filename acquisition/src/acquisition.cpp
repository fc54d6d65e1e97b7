// 'open', 'close' and 'status' of the acquisition engine.
#include "kivo/acquisition.h"

#include <system_error>

#include "kivo/file_names.h"
#include "kivo/process.h"
#include "kivo/wrong_size.h"
#include "messages.h"

namespace kivo {
namespace {

// The port as the user gave it, truncated toward zero; NaN and values outside
// 1..65535 are refused rather than wrapped to their low 16 bits.
int checked_port(double value) {
  if (!(value >= 1.0 && value < 65536.0)) {
    throw AcquisitionError(FailureKind::refused, messages::kInvalidPort);
  }
  return static_cast<int>(value);
}

// The channel count truncated toward zero: doubles from 1.0 up to but not
// including 17.0 are accepted.
uint32_t checked_channels(double value) {
  if (!(value >= 1.0 && value < 17.0)) {
    throw AcquisitionError(FailureKind::refused, messages::kInvalidChannels);
  }
  return static_cast<uint32_t>(value);
}

// The folder as an absolute path, taken once: a later change of the current
// folder (cd in MATLAB) must not move the metadata, the checks at 'close'
// or the messages away from the files. A NUL would cut the name short.
std::string checked_folder(const std::string& savedir) {
  if (savedir.find('\0') != std::string::npos) {
    throw AcquisitionError(FailureKind::refused, messages::kSavedirHoldsNul);
  }
  return kivo::absolute_folder(savedir);
}

}  // namespace

Acquisition::Acquisition(Console console) : console_(std::move(console)) {}

Acquisition::~Acquisition() { close(); }

int32_t Acquisition::open(const OpenRequest& given) {
  if (held_by_another_process()) forget();
  check_not_running();
  const int port = checked_port(given.port);
  const uint32_t channels = checked_channels(given.nchans);
  OpenRequest request = given;
  request.savedir = checked_folder(given.savedir);
  BlockSaver::check_filter(request);
  release_leftovers();
  owner_ = kivo::current_process_id();
  const kivo::TimeReading now = BlockSaver::time_for_files(request);
  try {
    const kivo::Geometry geometry = kivo::make_geometry(channels);
    saver_.open_files(request, port, geometry, now);
    geometry_ = geometry;
    receiver_.size_blocks(geometry_);
    latest_.reset(receiver_.blocks(), geometry_);
    delivery_.reset(receiver_.blocks(), geometry_, ring_blocks_);
    socket_buffer_bytes_ =
        receiver_.open_socket(static_cast<uint16_t>(port), receive_buffer_request_, console_);
    port_ = port;
    start_threads();
  } catch (...) {
    saver_.discard_files();
    throw;
  }
  running_ = true;
  wrong_size_said_ = false;
  events_.reset(kivo::events_path_for(saver_.raw_path()));
  console_(Severity::note, messages::connection_opened(port));
  return geometry_.nsamp;
}

void Acquisition::check_not_running() const {
  if (running_) throw AcquisitionError(FailureKind::refused, messages::kAlreadyOpen);
}

// An 'open' that failed part-way leaves its files and socket held until
// 'close'; a new 'open' releases them first.
void Acquisition::release_leftovers() {
  receiver_.close_socket();
  saver_.end_files();
  saver_.finish_metadata(kivo::EndReason::closed, false);  // nothing was acquired into them
}

void Acquisition::start_threads() {
  counters_.reset();
  handover_.reset();
  try {
    receiver_.start();
  } catch (const std::system_error&) {
    throw AcquisitionError(FailureKind::set_up, messages::kReceiverNotStarted);
  }
  try {
    saver_.start(receiver_.blocks());
  } catch (const std::system_error&) {
    stop_threads();
    throw AcquisitionError(FailureKind::set_up, messages::kSaverNotStarted);
  }
}

// Waiters in other threads return first: they must not hold a caller up
// while the files are completed.
void Acquisition::close(kivo::EndReason reason) {
  if (held_by_another_process()) {
    forget();
    return;
  }
  const bool was_running = running_;
  arrivals_.end_waits();
  stop_threads();
  if (was_running) save_the_rest();
  delivery_.release();
  receiver_.close_socket();
  saver_.end_files();
  events_.close();
  if (was_running) {
    saver_.set_timing(receiver_.timing());
    saver_.set_events(
        {events_.rows() != 0 ? kivo::base_name(events_.path()) : std::string(), events_.rows()});
  }
  saver_.finish_metadata(reason, was_running);
  latest_.clear_unread();
  running_ = false;
  owner_ = 0;
  if (was_running) report_problems();
}

bool Acquisition::held_by_another_process() const {
  return owner_ != 0 && owner_ != kivo::current_process_id();
}

// A forked child holds copies of its parent's socket and files, and none of
// the threads. Closing them here would end the parent's recording: shut the
// socket down under its receiver, write over its metadata, wait for threads
// that do not exist. The child lets go of its copies alone.
void Acquisition::forget() {
  receiver_.forget();
  saver_.forget();
  handover_.forget_waiters();
  latest_.clear_unread();
  running_ = false;
  owner_ = 0;
}

void Acquisition::stop_threads() {
  receiver_.stop();
  handover_.stop();  // wakes a receiver waiting for its half, and the saver
  receiver_.join();
  saver_.join();
}

// The block the receiver was filling, and what is still queued on the
// socket, become the files' last block: nothing received is left unsaved.
void Acquisition::save_the_rest() {
  const Receiver::LastBlock last =
      receiver_.receive_to_the_end([this](unsigned half) { saver_.save_block(half); });
  if (last.datagrams > 0) saver_.save_last_block(last.half, last.datagrams);
}

void Acquisition::report_problems() {
  saver_.warn_write_errors();
  const kivo::RecordingTotals totals = counters_.shared_totals();
  if (const uint64_t n = totals.writer_stalls) {
    console_(Severity::warning, messages::writer_fell_behind(n, raw_path()));
  }
  if (const uint64_t n = totals.kernel_drops) {
    console_(Severity::warning, messages::dropped_by_system(n, raw_path()));
  }
  if (receiver_.shut_down_elsewhere()) {
    console_(Severity::warning, messages::socket_shut_down_elsewhere(port_));
  }
  if (const uint64_t n = receiver_.wrong_sizes().count()) {
    console_(Severity::warning, kivo::wrong_size_summary(n, receiver_.wrong_sizes().most_frequent_length(),
                                                         geometry_.datagram_size_bytes, geometry_.nchans));
  }
  if (const uint64_t n = totals.filtered_clipped_samples) {
    console_(Severity::warning, messages::filtered_samples_clipped(n));
  }
  saver_.warn_lost_files();
  saver_.warn_files_not_created();
}

// A wrong channel count would otherwise show only at 'close', after a whole
// run of wrongly shaped samples: the first host call after the first such
// datagram names it.
void Acquisition::say_wrong_size_early() {
  if (wrong_size_said_ || !running_) return;
  const std::optional<long long> length = receiver_.first_wrong_size();
  if (!length) return;
  wrong_size_said_ = true;
  console_(Severity::warning,
           kivo::first_wrong_size(*length, geometry_.datagram_size_bytes, geometry_.nchans));
}

const uint8_t* Acquisition::read() {
  say_wrong_size_early();
  return latest_.read();
}

double Acquisition::read_stamp() const { return latest_.read_stamp(); }

AcquisitionStatus Acquisition::status() {
  say_wrong_size_early();
  AcquisitionStatus s = counters_.snapshot();
  s.running = running_;
  s.port = port_;
  s.nchans = geometry_.nchans;
  s.nsamp = static_cast<uint64_t>(geometry_.nsamp);
  s.write_errors = saver_.write_errors();
  s.socket_buffer_bytes = socket_buffer_bytes_;
  s.saving = running_ && saver_.saving_raw();
  s.samples_missed = delivery_.missed_total();
  s.raw_file = saver_.raw_file();
  s.filtered_file = saver_.filtered_file();
  return s;
}

Acquisition::WaitMark Acquisition::wait_mark() const {
  WaitMark mark;
  mark.ends = arrivals_.ends();
  mark.taken = delivery_.taken();
  mark.datagram_bytes = static_cast<size_t>(geometry_.datagram_size_bytes);
  mark.running = running_;
  return mark;
}

bool Acquisition::wait_for_read(const WaitMark& mark, ArrivalSignal::Clock::time_point until) {
  if (!mark.running) return false;
  return arrivals_.wait([&] { return latest_.has_unread(mark.datagram_bytes); }, mark.ends, until);
}

bool Acquisition::wait_for_samples(const WaitMark& mark, ArrivalSignal::Clock::time_point until) {
  if (!mark.running) return false;
  return arrivals_.wait([&] { return delivery_.published() > mark.taken; }, mark.ends, until);
}

}  // namespace kivo
