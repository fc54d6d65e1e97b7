// 'open', 'close' and 'status' of the acquisition engine.
#include "kivo/acquisition.h"

#include <stdexcept>
#include <system_error>

#include "kivo/wrong_size.h"

namespace kivo {
namespace {

constexpr const char* kUsageAlreadyOpen = "velto: already open, call velto('close') first";
constexpr const char* kInvalidPort = "velto: invalid port (must be between 1 and 65535)";
constexpr const char* kInvalidChannels = "velto: invalid # of channels (must be between 1 and 16)";

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
  console_("UDP connection to @ port " + std::to_string(port) + " opened...\n");
  return geometry_.nsamp;
}

void Acquisition::check_not_running() const {
  if (running_) throw std::runtime_error(kUsageAlreadyOpen);
}

// An 'open' that failed part-way leaves its files and socket held until
// 'close'; a new 'open' releases them first.
void Acquisition::release_leftovers() {
  receiver_.close_socket();
  saver_.close_files();
  saver_.forget_lost_files();  // nothing was acquired into them
  saver_.finish_metadata(kivo::EndReason::closed, false);
}

void Acquisition::start_threads() {
  counters_.reset();
  handover_.reset();
  try {
    receiver_.start();
  } catch (const std::system_error&) {
    throw std::runtime_error("Could not spawn off pthread");
  }
  try {
    saver_.start(receiver_.blocks());
  } catch (const std::system_error&) {
    stop_threads();
    throw std::runtime_error("Could not spawn off file saving pthread");
  }
}

void Acquisition::close(kivo::EndReason reason) {
  const bool was_running = running_;
  stop_threads();
  if (was_running) receiver_.count_to_the_end();
  receiver_.close_socket();
  if (was_running) saver_.flush_files_to_disk();
  saver_.close_files();
  saver_.finish_metadata(reason, was_running);
  latest_.clear_unread();
  running_ = false;
  if (was_running) report_problems();
  saver_.forget_lost_files();
}

void Acquisition::stop_threads() {
  receiver_.stop();
  handover_.stop();  // wakes a receiver waiting for its half, and the saver
  receiver_.join();
  saver_.join();
}

void Acquisition::report_problems() {
  const Console warn = [this](const std::string& text) { console_("velto: warning: " + text + "\n"); };
  saver_.warn_write_errors(warn);
  const kivo::RecordingTotals totals = counters_.shared_totals();
  if (const uint64_t n = totals.writer_stalls) {
    warn("the writer fell behind " + std::to_string(n) + " time(s) while saving to " + raw_path() +
         "; datagrams the socket could not hold meanwhile are counted as kernel drops");
  }
  if (const uint64_t n = totals.kernel_drops) {
    warn(std::to_string(n) + " datagram(s) were dropped by the system before they reached " + raw_path());
  }
  if (const uint64_t n = receiver_.wrong_sizes().count()) {
    warn(kivo::wrong_size_summary(n, receiver_.wrong_sizes().most_frequent_length(),
                                  geometry_.datagram_size_bytes, geometry_.nchans));
  }
  saver_.warn_lost_files(warn);
}

const uint8_t* Acquisition::read() { return latest_.read(); }

double Acquisition::read_stamp() const { return latest_.read_stamp(); }

AcquisitionStatus Acquisition::status() const {
  AcquisitionStatus s = counters_.snapshot();
  s.running = running_;
  s.port = port_;
  s.nchans = geometry_.nchans;
  s.nsamp = static_cast<uint64_t>(geometry_.nsamp);
  s.write_errors = counters_.write_errors.load() + counters_.filtered_write_errors.load();
  s.socket_buffer_bytes = socket_buffer_bytes_;
  return s;
}

}  // namespace kivo
