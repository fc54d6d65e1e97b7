// The extension module kivo._kivo: the acquisition engine's Python face. The
// package kivo builds Acquisition on AcquisitionBinding.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "acquisition_binding.h"
#include "kivo/status.h"
#include "kivo/version.h"
#include "sample_clock_binding.h"

namespace py = pybind11;
using kivo_python::AcquisitionBinding;
using kivo_python::Datagram;
using kivo_python::Samples;

namespace {

std::string datagram_repr(const Datagram& d) {
  return "<kivo.Datagram sequence_no=" + std::to_string(d.sequence_no) +
         " stamp=" + py::repr(py::float_(d.stamp)).cast<std::string>() +
         " samples=" + py::repr(d.samples.attr("shape")).cast<std::string>() + ">";
}

std::string samples_repr(const Samples& s) {
  return "<kivo.Samples datagrams=" + std::to_string(s.sequence_no.shape(0)) +
         " first_sample=" + py::repr(s.first_sample).cast<std::string>() +
         " missed=" + std::to_string(s.missed) +
         " samples=" + py::repr(s.samples.attr("shape")).cast<std::string>() + ">";
}

void define_errors(py::module_& m) {
  auto& error = py::register_exception<kivo_python::KivoFailure>(m, "KivoError", PyExc_RuntimeError);
  error.attr("__module__") = "kivo";
  error.doc() = "An error of the acquisition: a usage error or what the acquisition engine refused.";
  m.attr("KivoWarning") = py::reinterpret_steal<py::object>(
      PyErr_NewExceptionWithDoc("kivo.KivoWarning",
                                "Trouble the acquisition reports without failing: what 'close' of the velto "
                                "plug-in prints as warnings.",
                                PyExc_UserWarning, nullptr));
}

// The Python type that a field of each kind arrives as.
const char* python_type(kivo::StatusKind kind) {
  switch (kind) {
    case kivo::StatusKind::count: return "int";
    case kivo::StatusKind::flag: return "bool";
    case kivo::StatusKind::text: return "str";
  }
  return "";
}

// status()'s docstring, from the list of 'status' fields.
std::string status_doc() {
  std::string doc = "status() -> dict\n\nThe keys and values of velto('status'), in this order:\n";
  for (const kivo::StatusField& field : kivo::kStatusFields) {
    doc += "  " + std::string(field.name) + " (" + python_type(field.kind) + "): " + field.words + "\n";
  }
  return doc;
}

}  // namespace

PYBIND11_MODULE(_kivo, m) {
  m.doc() = "The acquisition engine of Kivo (use the package kivo).";
  m.attr("__version__") = KIVO_VERSION;
  define_errors(m);
  kivo_python::define_sample_clock(m);
  const std::string status_help = status_doc();  // pybind11 keeps a copy

  py::class_<Datagram>(m, "Datagram", "One datagram that Acquisition.read() returned.")
      .def_readonly("sequence_no", &Datagram::sequence_no, "the 16-bit sequence number (int)")
      .def_readonly("stamp", &Datagram::stamp, "the receive time of its slot (float, seconds since 1970 UTC)")
      .def_readonly("samples", &Datagram::samples,
                    "numpy uint16 array of shape (nsamp, nchans): one row per time step")
      .def("__repr__", &datagram_repr);
  py::setattr(m.attr("Datagram"), "__module__", py::str("kivo"));

  py::class_<Samples>(m, "Samples", "Every datagram since the previous Acquisition.read_samples().")
      .def_readonly("samples", &Samples::samples,
                    "numpy uint16 array of shape (k * nsamp, nchans): one row per time step, oldest first")
      .def_readonly("sequence_no", &Samples::sequence_no,
                    "numpy uint16 array (k,): each datagram's sequence number")
      .def_readonly("stamps", &Samples::stamps,
                    "numpy float64 array (k,): each datagram's receive time (seconds since 1970 UTC)")
      .def_readonly("times", &Samples::times,
                    "numpy float64 array (k * nsamp,): each row's time on the fitted sample clock (seconds\n"
                    "since 1970 UTC); NaN where the clock has no line for it yet")
      .def_readonly("first_sample", &Samples::first_sample,
                    "the first row's index in the recording's numbering of samples (int; None when k is 0):\n"
                    "a gap in the stream shows as a jump from one call to the next")
      .def_readonly("missed", &Samples::missed,
                    "datagrams since the previous call that could no longer be handed over (int)")
      .def("__repr__", &samples_repr);
  py::setattr(m.attr("Samples"), "__module__", py::str("kivo"));

  py::class_<AcquisitionBinding>(m, "AcquisitionBinding", "The core under kivo.Acquisition.")
      .def(py::init<>())
      .def("_open", &AcquisitionBinding::open)
      .def("_close", &AcquisitionBinding::close)
      .def("_mark", &AcquisitionBinding::mark)
      .def("_take_printed", &AcquisitionBinding::take_printed)
      .def("_forget_in_child", &AcquisitionBinding::forget_in_child)
      .def("read", &AcquisitionBinding::read, py::arg("timeout") = 0.0,
           "read(timeout=0.0) -> Datagram or None\n\n"
           "The latest datagram, as velto('read') gives it: each datagram's worth of\n"
           "bytes received since the last read allows one read, which returns the\n"
           "datagram received last at that moment (a backlog allows at most about\n"
           "1000 reads, however many datagrams it held). None when nothing new has\n"
           "arrived, and always after close(). With timeout > 0, waits up to that\n"
           "many seconds for a datagram, with the GIL released; Ctrl-C ends the\n"
           "wait with KeyboardInterrupt, and close() from another thread ends it\n"
           "at once.")
      .def("read_samples", &AcquisitionBinding::read_samples, py::arg("timeout") = 0.0,
           "read_samples(timeout=0.0) -> Samples\n\n"
           "Every datagram received since the last call (since the start for the\n"
           "first), oldest first, as velto('samples') gives it: the samples of all\n"
           "of them, each datagram's sequence number and stamp, each row's time on\n"
           "the fitted sample clock, the first row's sample index, and the count of\n"
           "datagrams missed because the calls fell too far behind (48 blocks of\n"
           "1000 datagrams are kept: 2.4 s at 20,000 datagrams/s). With nothing new\n"
           "the fields are empty. With timeout > 0, waits up to that many seconds\n"
           "for a datagram, with the GIL released; Ctrl-C ends the wait with\n"
           "KeyboardInterrupt, and close() from another thread ends it at once.\n"
           "After close(), returns nothing: the files hold everything.")
      .def("status", &AcquisitionBinding::status, status_help.c_str());
}
