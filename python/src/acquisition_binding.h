// The acquisition engine as a Python object: one kivo::Acquisition per
// object, its calls serialised by a mutex so that any Python thread may use
// it, and blocking waits made with the GIL released and the mutex free, so
// that close() from another thread ends them at once.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kivo/acquisition.h"

namespace kivo_python {

namespace py = pybind11;

// A failure of the acquisition, or a usage error of the binding (raised in
// Python as kivo.KivoError).
class KivoFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One datagram as read() returns it.
struct Datagram {
  int sequence_no = 0;
  double stamp = 0.0;
  py::array samples;  // uint16, (nsamp, nchans)
};

// What read_samples() returns: every datagram since the call before.
struct Samples {
  py::array samples;        // uint16, (k * nsamp, nchans)
  py::array sequence_no;    // uint16, (k,)
  py::array stamps;         // float64, (k,)
  py::array times;          // float64, (k * nsamp,)
  py::object first_sample;  // int, or None when k is 0
  uint64_t missed = 0;
};

class AcquisitionBinding {
 public:
  AcquisitionBinding();
  // Closes what is still open; what that prints goes to stderr, since no
  // Python code may run here.
  ~AcquisitionBinding();
  AcquisitionBinding(const AcquisitionBinding&) = delete;
  AcquisitionBinding& operator=(const AcquisitionBinding&) = delete;

  // Starts the acquisition; returns nsamp. The core checks the values.
  int32_t open(double port, double nchans, const std::string& savedir,
               const std::optional<std::vector<double>>& b, const std::optional<std::vector<double>>& a);
  void close();
  // The latest datagram under the read rule, waiting up to `timeout` seconds.
  py::object read(py::handle timeout);
  // Every datagram since the last call, waiting up to `timeout` seconds for one.
  py::object read_samples(py::handle timeout);
  py::dict status();
  // Writes an event to the events file (kivo::Acquisition::mark); the
  // package checks the arguments' types.
  void mark(uint64_t value, const std::string& text);
  // What the acquisition printed since the last call, in order: pairs of
  // its severity ("error", "warning" or "note") and its text.
  std::vector<std::pair<std::string, std::string>> take_printed();
  // In a forked child, right after the fork: the acquisition is the
  // parent's, and is forgotten (kivo::Acquisition::close there); the mutex,
  // which a thread of the parent may have held, is made anew.
  void forget_in_child();

 private:
  using Clock = std::chrono::steady_clock;
  using Printed = std::pair<kivo::Severity, std::string>;

  std::unique_lock<std::mutex> lock_core();
  bool wait_for(bool samples, const kivo::Acquisition::WaitMark& mark, Clock::time_point deadline);
  py::object datagram_object(const uint8_t* datagram);
  py::object samples_object(const kivo::TakenDatagrams& taken);
  // With mutex_ held: what the acquisition printed since it was last taken.
  std::vector<Printed> take_news();
  // With the GIL held and mutex_ not: what a call printed, as Python shows
  // it (warnings and errors as KivoWarning, notes on stdout).
  static void show(const std::vector<Printed>& printed);
  // With the GIL held: one try of read() or read_samples(), showing what
  // the acquisition printed meanwhile; `mark` is set for a wait after it.
  py::object try_read(kivo::Acquisition::WaitMark& mark);
  py::object try_take(kivo::Acquisition::WaitMark& mark, bool& any);

  // Guarded by mutex_, which no thread waits for while it holds the GIL (a
  // thread that holds mutex_ may wait for the GIL).
  std::mutex mutex_;
  kivo::Acquisition state_;
  std::vector<Printed> printed_;
  py::dtype little_endian_u16_;  // the GIL guards it
};

}  // namespace kivo_python
