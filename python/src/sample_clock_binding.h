// kivo._kivo.fit_sample_clock: the stream library's sample clock over a
// file's sequence numbers and stamps, for the package's reader.
#pragma once

#include <pybind11/pybind11.h>

namespace kivo_python {

void define_sample_clock(pybind11::module_& m);

}  // namespace kivo_python
