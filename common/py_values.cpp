#include "common/py_values.hpp"

namespace common {

namespace {

py::object checked(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace

std::string fs_path(py::handle path) {
    py::object text = checked(PyOS_FSPath(path.ptr()));
    if (!PyBytes_Check(text.ptr())) text = checked(PyUnicode_EncodeFSDefault(text.ptr()));
    std::string bytes = py::bytes(text);
    // The C library would end the name at the NUL and use a shorter path.
    if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return bytes;
}

py::str fs_str(const std::string& path) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::object path_join(std::initializer_list<py::object> parts) {
    py::tuple args(parts.size());
    size_t k = 0;
    for (const auto& part : parts) args[k++] = part;
    return py::module_::import("os").attr("path").attr("join")(*args);
}

py::object dirname(py::handle path) { return py::module_::import("os").attr("path").attr("dirname")(path); }

py::object floordiv(py::handle a, py::handle b) { return checked(PyNumber_FloorDivide(a.ptr(), b.ptr())); }
py::object mod(py::handle a, py::handle b) { return checked(PyNumber_Remainder(a.ptr(), b.ptr())); }
py::object truediv(py::handle a, py::handle b) { return checked(PyNumber_TrueDivide(a.ptr(), b.ptr())); }

long long to_index(py::handle value) {
    py::object index = checked(PyNumber_Index(value.ptr()));
    const long long result = PyLong_AsLongLong(index.ptr());
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

double to_double(py::handle value) {
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

bool is_true(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

py::int_ to_int(py::handle value) { return py::int_(checked(PyNumber_Long(value.ptr()))); }

}  // namespace common
