// The core's exceptions as Python exceptions, at the boundary of every call:
//   FileError             -> OSError (its errno subclass: FileNotFoundError, ...), naming the file
//   cv::Exception         -> cv2.error, as if cv2 itself had called OpenCV
// and, by pybind11's own rules, std::invalid_argument -> ValueError,
// std::out_of_range -> IndexError, std::overflow_error -> OverflowError,
// std::bad_alloc -> MemoryError, any other std::exception -> RuntimeError.
#pragma once

#include <exception>

namespace common {

// A pybind11 exception translator for the exceptions above.
void translate_core_exception(std::exception_ptr error);

}  // namespace common
