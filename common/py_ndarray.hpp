// Conversion between NumPy arrays and cv::Mat.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

namespace common {

namespace py = pybind11;

// A cv::Mat over the pixels of a NumPy array. The view keeps the array alive,
// so `mat` stays valid while the GIL is released, as long as the view lives.
struct MatView {
    py::object owner;
    cv::Mat mat;
};

// Views `value` (an array, or anything np.asarray takes) as a cv::Mat without
// copying when every row is contiguous, which covers crops and row slices;
// other layouts (column steps, reversed axes, channel slices, the zero
// strides of broadcast arrays) are copied into a contiguous array first, and
// pixels in the other byte order into the native one: never misread. 1-D and
// 2-D arrays are single-channel, 3-D arrays have shape[2] channels. The
// pixels are only read: read-only arrays are fine. TypeError naming the
// argument `name` and the data type for types cv2 refuses too (float16,
// 64-bit integers, complex, object, strings); ValueError for sizes OpenCV
// cannot hold.
MatView mat_view(py::handle value, const char* name);

// mat_view of a mask, where nonzero means set: boolean and 32- or 64-bit
// unsigned or 64-bit signed integer masks (np.where(cond, 255, 0) gives
// int64) become 8-bit masks of 255 where they are nonzero; others as
// mat_view gives them.
MatView mask_view(py::handle value, const char* name);

// A NumPy array over the pixels of `mat`, sharing them without a copy: the
// array keeps the matrix's memory alive. Single-channel matrices give 2-D
// arrays, others rows x cols x channels.
py::array to_array(cv::Mat mat);

}  // namespace common
