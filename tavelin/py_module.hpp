// The parts of module Tavelin, each defined in its own file and added to the
// module in the order of py_module.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace tavelin {

namespace py = pybind11;

// Clip, TimeCal and the Capture class with its record methods.
void declare_capture(py::module_& m);

// Phases, color_seperate, Separate_Seq and the Capture methods Separate,
// CalArea and ColorFrame (needs declare_capture first).
void declare_phases(py::module_& m);

// The module-level Rimwell (a mask of hand-picked outlines) and Capture.Rimwell.
void declare_contour_mask(py::module_& m);

// GetFrameIndex, GetFrameIndex2, IterFrames, GetFrames_multi, ExtractFromVideos.
void declare_frame_readers(py::module_& m);

// Image2Capture and Img2Video.
void declare_image_folder(py::module_& m);

// _FrameReader, the shared frame reader, for tests and diagnostics.
void declare_frame_reader_access(py::module_& m);

}  // namespace tavelin
