#include "acquisition_binding.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "kivo/datagram.h"
#include "kivo/status.h"

namespace kivo_python {
namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting read() looks for a datagram, and how often for Ctrl-C.
constexpr auto kPollInterval = std::chrono::microseconds(200);
constexpr auto kSignalCheckInterval = std::chrono::milliseconds(5);
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

void AcquisitionBinding::close() {
  auto lock = lock_core();
  py::gil_scoped_release nogil;
  state_.close();
}

py::object AcquisitionBinding::read(py::handle timeout) {
  const double seconds = timeout_seconds(timeout);
  py::object frame = py::none();
  std::vector<Printed> news;
  {
    auto lock = lock_core();
    if (const uint8_t* datagram = state_.read()) frame = datagram_object(datagram);
    news = take_news();
  }
  show(news);
  return frame.is_none() && seconds > 0.0 ? wait_for_datagram(seconds) : frame;
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

// Polls the core with the GIL released; every few milliseconds takes the
// GIL back to let a Ctrl-C (KeyboardInterrupt) end the wait.
py::object AcquisitionBinding::wait_for_datagram(double seconds) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (;;) {
    std::unique_lock<std::mutex> lock;
    const uint8_t* datagram = nullptr;
    {
      py::gil_scoped_release nogil;
      const auto until = std::min(deadline, Clock::now() + kSignalCheckInterval);
      for (;;) {
        lock = std::unique_lock<std::mutex>(mutex_);
        datagram = state_.read();
        if (datagram != nullptr || Clock::now() >= until) break;
        lock.unlock();
        std::this_thread::sleep_for(kPollInterval);
      }
    }
    py::object frame = datagram != nullptr ? datagram_object(datagram) : py::none();
    const std::vector<Printed> news = take_news();
    lock.unlock();
    show(news);
    if (!frame.is_none()) return frame;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (Clock::now() >= deadline) return py::none();
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
