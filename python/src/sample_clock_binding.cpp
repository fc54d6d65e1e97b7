#include "sample_clock_binding.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <stdexcept>

#include "kivo/sample_clock.h"
#include "kivo/sample_timing.h"

namespace py = pybind11;

namespace kivo_python {
namespace {

template <typename T>
using Column = py::array_t<T, py::array::c_style | py::array::forcecast>;

// The fit as the metadata's "timing" object, decoded as json.load would.
py::tuple fit_sample_clock(int32_t nsamp, const Column<uint16_t>& sequence_numbers,
                           const Column<double>& stamps) {
  if (sequence_numbers.ndim() != 1 || stamps.ndim() != 1 || sequence_numbers.size() != stamps.size()) {
    throw std::invalid_argument("sequence_numbers and stamps must be 1-d and of one length");
  }
  const auto count = static_cast<size_t>(stamps.size());
  py::array_t<int64_t> first_samples(static_cast<py::ssize_t>(count));
  kivo::SampleTiming timing;
  {
    py::gil_scoped_release unlocked;
    timing = kivo::fit_sample_clock(nsamp, sequence_numbers.data(), stamps.data(), count,
                                    first_samples.mutable_data());
  }
  py::object decoded = py::module_::import("json").attr("loads")(kivo::timing_json_text(timing));
  return py::make_tuple(decoded, first_samples);
}

}  // namespace

void define_sample_clock(py::module_& m) {
  m.def("fit_sample_clock", &fit_sample_clock, py::arg("nsamp"), py::arg("sequence_numbers"),
        py::arg("stamps"),
        "fit_sample_clock(nsamp, sequence_numbers, stamps) -> (timing, first_samples)\n\n"
        "The sample clock fitted to datagrams in the order received: timing is the\n"
        "metadata's \"timing\" object as a dict (sample_rate, segments, the jitter\n"
        "figures, ...; its stamp_source says only \"receiver\", as the stamps do not\n"
        "tell), first_samples (int64) the index of every datagram's first sample.");
}

}  // namespace kivo_python
