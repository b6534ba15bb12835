// The Python side of module Dravio, one declare function per area.
#pragma once

#include <pybind11/pybind11.h>

namespace dravio {

namespace py = pybind11;

// cv_VideoWriter, cv_toVideo, cv_ExplodeVideo, VideoCombine, RegularVideo.
void declare_video(py::module_& m);

// evenLightImg, evenLight, rotateImg, rotate.
void declare_images(py::module_& m);

// Raises a pending KeyboardInterrupt (or whatever a signal handler raised);
// called from loops that run with the GIL released, between frames.
inline void check_signals() {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace dravio
