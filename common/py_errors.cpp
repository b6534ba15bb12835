#include "common/py_errors.hpp"

#include <pybind11/pybind11.h>

#include <opencv2/core.hpp>

#include "common/errors.hpp"
#include "common/py_values.hpp"

namespace py = pybind11;

namespace common {

namespace {

void raise_file_error(const FileError& e) {
    py::object error = py::module_::import("builtins").attr("OSError")(e.error_number(), e.what(), fs_str(e.path()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

// Raises cv2.error, so that OpenCV failures look the same whether cv2 or
// this toolkit called OpenCV.
void raise_cv_error(const cv::Exception& e) {
    py::object error_type = py::module_::import("cv2").attr("error");
    py::object error = error_type(e.what());
    error.attr("file") = e.file;
    error.attr("func") = e.func;
    error.attr("line") = e.line;
    error.attr("code") = e.code;
    error.attr("msg") = e.msg;
    error.attr("err") = e.err;
    PyErr_SetObject(error_type.ptr(), error.ptr());
}

}  // namespace

void translate_core_exception(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const FileError& e) {
        raise_file_error(e);
    } catch (const cv::Exception& e) {
        raise_cv_error(e);
    }
}

}  // namespace common
