// The batch operations of module Orbisk.
#pragma once

#include <pybind11/pybind11.h>

namespace orbisk {

namespace py = pybind11;

// Speed_Fig, Speed_Vdo, Speed, GetCapture, CaptureCrop, MakeDyImg.
void declare_batch(py::module_& m);

}  // namespace orbisk
