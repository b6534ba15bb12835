// The Python side of module Orbisk: its batch operations.
#pragma once

#include <pybind11/pybind11.h>

namespace orbisk {

namespace py = pybind11;

// Speed_Fig, Speed_Vdo, Speed, GetCapture, CaptureCrop, MakeDyImg.
void declare_batch(py::module_& m);

}  // namespace orbisk
