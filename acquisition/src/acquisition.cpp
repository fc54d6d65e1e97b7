// 'open', 'close' and 'status' of the acquisition engine.
#include "kivo/acquisition.h"

#include <system_error>

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

}  // namespace

Acquisition::Acquisition(Console console) : console_(std::move(console)) {}

Acquisition::~Acquisition() { close(); }

int32_t Acquisition::open(const OpenRequest& request) {
  check_not_running();
  const int port = checked_port(request.port);
  const uint32_t channels = checked_channels(request.nchans);
  release_leftovers();
  const kivo::TimeReading now = BlockSaver::time_for_files(request);
  try {
    const kivo::Geometry geometry = kivo::make_geometry(channels);
    saver_.open_files(request, port, geometry, now);
    geometry_ = geometry;
    receiver_.size_blocks(geometry_);
    latest_.reset(receiver_.blocks(), geometry_);
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

void Acquisition::close(kivo::EndReason reason) {
  const bool was_running = running_;
  stop_threads();
  if (was_running) receiver_.count_to_the_end();
  receiver_.close_socket();
  saver_.end_files();
  saver_.finish_metadata(reason, was_running);
  latest_.clear_unread();
  running_ = false;
  if (was_running) report_problems();
}

void Acquisition::stop_threads() {
  receiver_.stop();
  handover_.stop();  // wakes a receiver waiting for its half, and the saver
  receiver_.join();
  saver_.join();
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
  if (const uint64_t n = receiver_.wrong_sizes().count()) {
    console_(Severity::warning, kivo::wrong_size_summary(n, receiver_.wrong_sizes().most_frequent_length(),
                                                         geometry_.datagram_size_bytes, geometry_.nchans));
  }
  saver_.warn_lost_files();
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
  s.raw_file = saver_.raw_file();
  s.filtered_file = saver_.filtered_file();
  return s;
}

}  // namespace kivo
