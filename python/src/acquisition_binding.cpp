#include "acquisition_binding.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "kivo/datagram.h"
#include "kivo/geometry.h"
#include "kivo/status.h"

namespace kivo_python {
namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting call takes the GIL to look for Ctrl-C.
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(5);
// Takes larger than this many samples are converted with the GIL released.
constexpr size_t kSamplesConvertedWithTheGil = size_t{1} << 16;
// Longer waits are cut to this (about 31 years) to keep the clock arithmetic finite.
constexpr double kLongestWait = 1e9;

const char* severity_name(kivo::Severity severity) {
  switch (severity) {
    case kivo::Severity::error: return "error";
    case kivo::Severity::warning: return "warning";
    case kivo::Severity::note: break;
  }
  return "note";
}

Clock::time_point deadline_after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Seconds as a real number (not a bool), 0 or more.
double timeout_seconds(py::handle timeout) {
  const bool real =
      !PyBool_Check(timeout.ptr()) && (PyFloat_Check(timeout.ptr()) || PyLong_Check(timeout.ptr()) ||
                                       (PyNumber_Check(timeout.ptr()) && !PyComplex_Check(timeout.ptr()) &&
                                        py::hasattr(timeout, "__float__")));
  const double seconds = real ? PyFloat_AsDouble(timeout.ptr()) : -1.0;
  if (seconds == -1.0 && PyErr_Occurred()) PyErr_Clear();
  if (!(seconds >= 0.0)) throw KivoFailure("timeout must be a real number of seconds, 0 or more");
  return std::min(seconds, kLongestWait);
}

}  // namespace

AcquisitionBinding::AcquisitionBinding()
    : state_([this](kivo::Severity severity, const std::string& text) {
        printed_.push_back({severity, text});
      }),
      little_endian_u16_("<u2") {}

AcquisitionBinding::~AcquisitionBinding() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.close();
  for (const auto& [severity, text] : printed_) {
    const char* kind = severity == kivo::Severity::warning ? "warning: " : "";
    std::fprintf(stderr, "kivo: %s%s\n", kind, text.c_str());
  }
}

// Takes mutex_ from a thread that holds the GIL, letting other Python
// threads run while it waits.
std::unique_lock<std::mutex> AcquisitionBinding::lock_core() {
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) {
    py::gil_scoped_release nogil;
    lock.lock();
  }
  return lock;
}

int32_t AcquisitionBinding::open(double port, double nchans, const std::string& savedir,
                                 const std::optional<std::vector<double>>& b,
                                 const std::optional<std::vector<double>>& a) {
  kivo::OpenRequest request;
  request.port = port;
  request.nchans = nchans;
  request.savedir = savedir;
  request.with_filter = b.has_value() && a.has_value();
  if (request.with_filter) {
    request.b = *b;
    request.a = *a;
  }
  auto lock = lock_core();
  py::gil_scoped_release nogil;
  try {
    return state_.open(request);
  } catch (const std::runtime_error& e) {
    throw KivoFailure(e.what());
  }
}

// The GIL stays held: the call is one write, shorter than a release.
void AcquisitionBinding::mark(uint64_t value, const std::string& text) {
  auto lock = lock_core();
  try {
    state_.mark(value, text);
  } catch (const std::runtime_error& e) {
    throw KivoFailure(e.what());
  }
}

void AcquisitionBinding::close() {
  auto lock = lock_core();
  py::gil_scoped_release nogil;
  state_.close();
}

py::object AcquisitionBinding::read(py::handle timeout) {
  const double seconds = timeout_seconds(timeout);
  kivo::Acquisition::WaitMark mark;
  py::object frame = try_read(mark);
  if (!frame.is_none() || !(seconds > 0.0)) return frame;
  const auto deadline = deadline_after(seconds);
  // Another thread may take the datagram first: then the wait goes on.
  while (frame.is_none() && wait_for(false, mark, deadline)) frame = try_read(mark);
  return frame;
}

py::object AcquisitionBinding::try_read(kivo::Acquisition::WaitMark& mark) {
  py::object frame = py::none();
  std::vector<Printed> news;
  {
    auto lock = lock_core();
    if (const uint8_t* datagram = state_.read()) {
      frame = datagram_object(datagram);
    } else {
      mark = state_.wait_mark();
    }
    news = take_news();
  }
  show(news);
  return frame;
}

py::object AcquisitionBinding::try_take(kivo::Acquisition::WaitMark& mark, bool& any) {
  py::object result;
  std::vector<Printed> news;
  {
    auto lock = lock_core();
    const kivo::TakenDatagrams taken = state_.take_samples();
    any = taken.count > 0;
    result = samples_object(taken);
    mark = state_.wait_mark();
    news = take_news();
  }
  show(news);
  return result;
}

std::vector<AcquisitionBinding::Printed> AcquisitionBinding::take_news() {
  std::vector<Printed> news;
  if (!printed_.empty()) news.swap(printed_);
  return news;
}

void AcquisitionBinding::show(const std::vector<Printed>& printed) {
  for (const auto& [severity, text] : printed) {
    if (severity == kivo::Severity::note) {
      py::module_::import("sys").attr("stdout").attr("write")(text + "\n");
      continue;
    }
    const py::object category = py::module_::import("kivo._kivo").attr("KivoWarning");
    if (PyErr_WarnEx(category.ptr(), text.c_str(), 1) != 0) throw py::error_already_set();
  }
}

py::object AcquisitionBinding::read_samples(py::handle timeout) {
  const double seconds = timeout_seconds(timeout);
  kivo::Acquisition::WaitMark mark;
  bool any = false;
  py::object result = try_take(mark, any);
  if (any || !(seconds > 0.0)) return result;
  const auto deadline = deadline_after(seconds);
  for (;;) {
    const bool arrived = wait_for(true, mark, deadline);
    result = try_take(mark, any);
    if (any || !arrived) return result;
  }
}

// Waits with the GIL released and mutex_ free until a datagram arrives for
// read() (or, with `samples`, for take_samples()), 'close' begins, or the
// deadline; every few milliseconds takes the GIL back to let a Ctrl-C
// (KeyboardInterrupt) end the wait. True when a datagram arrived.
bool AcquisitionBinding::wait_for(bool samples, const kivo::Acquisition::WaitMark& mark,
                                  Clock::time_point deadline) {
  for (;;) {
    bool arrived = false;
    {
      py::gil_scoped_release nogil;
      const auto until = std::min(deadline, Clock::now() + kSignalCheckInterval);
      arrived = samples ? state_.wait_for_samples(mark, until) : state_.wait_for_read(mark, until);
    }
    if (arrived) return true;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (!mark.running || state_.closed_since(mark) || Clock::now() >= deadline) return false;
  }
}

// With mutex_ and the GIL held: the datagram that read() copied, as a Datagram.
py::object AcquisitionBinding::datagram_object(const uint8_t* datagram) {
  const auto nsamp = static_cast<py::ssize_t>(state_.samples_per_channel());
  const auto nchans = static_cast<py::ssize_t>(state_.channels());
  py::array samples(little_endian_u16_, {nsamp, nchans});
  std::memcpy(samples.mutable_data(), kivo::sample_run(datagram),
              static_cast<size_t>(nsamp * nchans) * sizeof(uint16_t));
  Datagram result;
  result.sequence_no = kivo::sequence_number(datagram);
  result.stamp = state_.read_stamp();
  result.samples = std::move(samples);
  return py::cast(std::move(result));
}

// With mutex_ and the GIL held: what take_samples() handed over, as Samples.
py::object AcquisitionBinding::samples_object(const kivo::TakenDatagrams& taken) {
  const auto nsamp = static_cast<size_t>(state_.samples_per_channel());
  const size_t nchans = state_.channels();
  const size_t slot_bytes = static_cast<size_t>(state_.datagram_size()) + kivo::kStampBytes;
  const size_t run_bytes = nsamp * nchans * sizeof(uint16_t);
  const size_t rows = taken.count * nsamp;
  const kivo::ClockLines lines = state_.clock_lines();
  Samples result;
  result.samples =
      py::array(little_endian_u16_, {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(nchans)});
  py::array_t<uint16_t> sequence_no(static_cast<py::ssize_t>(taken.count));
  py::array_t<double> stamps(static_cast<py::ssize_t>(taken.count));
  py::array_t<double> times(static_cast<py::ssize_t>(rows));
  auto* samples_out = static_cast<uint8_t*>(result.samples.mutable_data());
  uint16_t* sequence_out = sequence_no.mutable_data();
  double* stamps_out = stamps.mutable_data();
  double* times_out = times.mutable_data();
  auto convert = [&] {
    for (size_t d = 0; d < taken.count; ++d) {
      const uint8_t* slot = taken.slots + d * slot_bytes;
      const uint8_t* datagram = slot + kivo::kStampBytes;
      std::memcpy(samples_out + d * run_bytes, kivo::sample_run(datagram), run_bytes);
      sequence_out[d] = kivo::sequence_number(datagram);
      std::memcpy(stamps_out + d, slot, sizeof(double));
      for (size_t t = 0; t < nsamp; ++t) {
        times_out[d * nsamp + t] = lines.time_of(taken.first_samples[d] + static_cast<int64_t>(t));
      }
    }
  };
  if (rows * nchans > kSamplesConvertedWithTheGil) {
    py::gil_scoped_release nogil;
    convert();
  } else {
    convert();
  }
  result.sequence_no = std::move(sequence_no);
  result.stamps = std::move(stamps);
  result.times = std::move(times);
  result.first_sample =
      taken.count > 0 ? py::object(py::int_(taken.first_samples[0])) : py::object(py::none());
  result.missed = taken.missed;
  return py::cast(std::move(result));
}

py::dict AcquisitionBinding::status() {
  kivo::AcquisitionStatus s;
  std::vector<Printed> news;
  {
    auto lock = lock_core();
    s = state_.status();
    news = take_news();
  }
  show(news);
  py::dict d;
  kivo::for_each_status_field(
      s, [&d](const kivo::StatusField& field, const auto& value) { d[field.name] = value; });
  return d;
}

void AcquisitionBinding::forget_in_child() {
  new (&mutex_) std::mutex();
  state_.close();
}

std::vector<std::pair<std::string, std::string>> AcquisitionBinding::take_printed() {
  std::vector<Printed> printed;
  {
    auto lock = lock_core();
    printed.swap(printed_);
  }
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [severity, text] : printed) out.emplace_back(severity_name(severity), text);
  return out;
}

}  // namespace kivo_python
