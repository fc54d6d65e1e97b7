// The acquisition engine as a Python object: one kivo::Acquisition per
// object, its calls serialised by a mutex so that any Python thread may use
// it, and blocking waits made with the GIL released.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

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
  py::dict status();
  // What the acquisition printed since the last call, in order: pairs of
  // its severity ("error", "warning" or "note") and its text.
  std::vector<std::pair<std::string, std::string>> take_printed();

 private:
  using Printed = std::pair<kivo::Severity, std::string>;

  std::unique_lock<std::mutex> lock_core();
  py::object wait_for_datagram(double seconds);
  py::object datagram_object(const uint8_t* datagram);
  // With mutex_ held: what the acquisition printed since it was last taken.
  std::vector<Printed> take_news();
  // With the GIL held and mutex_ not: what a call printed, as Python shows
  // it (warnings and errors as KivoWarning, notes on stdout).
  static void show(const std::vector<Printed>& printed);

  // Guarded by mutex_, which no thread waits for while it holds the GIL (a
  // thread that holds mutex_ may wait for the GIL).
  std::mutex mutex_;
  kivo::Acquisition state_;
  std::vector<Printed> printed_;
  py::dtype little_endian_u16_;  // the GIL guards it
};

}  // namespace kivo_python
