// The Python side of module Dravio, one declare function per area, added to
// the module in the order of py_module.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace dravio {

namespace py = pybind11;

// GetIndex.
void declare_selection(py::module_& m);

// cv_GenImage, cv_RandomImg, evenLightImg, evenLight, rotateImg, rotate.
void declare_images(py::module_& m);

// cv_VideoWriter, cv_toVideo, cv_ExplodeVideo, VideoCombine, RegularVideo.
void declare_video(py::module_& m);

}  // namespace dravio
