// The Python side of module Tessil beyond py_module.cpp, added to the module
// in the order of py_module.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace tessil {

namespace py = pybind11;

// GetRecordTime.
void declare_record_time(py::module_& m);

}  // namespace tessil
