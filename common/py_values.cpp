#include "common/py_values.hpp"

#include <climits>
#include <cmath>

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

std::string named_value(const char* name, py::handle value) {
    return std::string(name) + " = " + std::string(py::repr(value));
}

namespace {

// PyLong_AsLongLong of an int, OverflowError naming the argument.
long long checked_long(const py::object& integer, const char* name, py::handle given) {
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError,
                        (named_value(name, given) + " is beyond the range of a 64-bit integer").c_str());
        throw py::error_already_set();
    }
    return result;
}

}  // namespace

long long to_index(py::handle value, const char* name) {
    return checked_long(checked(PyNumber_Index(value.ptr())), name, value);
}

double to_double(py::handle value) {
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

double finite_double(py::handle value, const char* name) {
    const double result = to_double(value);
    if (!std::isfinite(result)) throw py::value_error(named_value(name, value) + ": expected a finite number");
    return result;
}

void check_finite(py::handle value, const char* name) {
    if (PyLong_Check(value.ptr())) return;
    const double real = PyFloat_AsDouble(value.ptr());
    if (real == -1.0 && PyErr_Occurred()) {
        // No real number: the code that uses the value raises its own error.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return;
    }
    if (!std::isfinite(real)) throw py::value_error(named_value(name, value) + ": expected a finite number");
}

bool is_true(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

py::int_ to_int(py::handle value) { return py::int_(checked(PyNumber_Long(value.ptr()))); }

int to_extent(py::handle value, const char* name) {
    const long long extent = to_index(value, name);
    if (extent < 0) throw py::value_error(named_value(name, value) + ": an image extent cannot be negative");
    if (extent > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError,
                        (named_value(name, value) + " is more than the largest image extent").c_str());
        throw py::error_already_set();
    }
    return static_cast<int>(extent);
}

py::int_ to_int(py::handle value, const char* name) {
    check_finite(value, name);
    return to_int(value);
}

long long to_integer(py::handle value, const char* name) {
    check_finite(value, name);
    return checked_long(checked(PyNumber_Long(value.ptr())), name, value);
}

}  // namespace common
