// Small conversions between Python values and the core's C++ values.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

namespace common {

namespace py = pybind11;

// A path given as str, bytes or any os.PathLike, in the file-system encoding
// (non-ASCII names survive the round trip). ValueError for a path holding a
// NUL byte, as Python's os functions raise.
std::string fs_path(py::handle path);

// The str of a file-system path.
py::str fs_str(const std::string& path);

// os.path.join(parts...) and os.path.dirname(path): the platform's joining rule.
py::object path_join(std::initializer_list<py::object> parts);
py::object dirname(py::handle path);

// Python's own arithmetic, for values whose type the result must keep
// (an int stays an int, a float a float).
py::object floordiv(py::handle a, py::handle b);
py::object mod(py::handle a, py::handle b);
py::object truediv(py::handle a, py::handle b);

// operator.index(value) as a C++ integer: ints and integer-like values only,
// with the interpreter's TypeError otherwise (as range() does), and an
// OverflowError naming the argument `name` for an int beyond the platform's
// 64-bit range.
long long to_index(py::handle value, const char* name);

// float(value) as a C double, for real numbers only (a str is a TypeError).
double to_double(py::handle value);

// to_double(value) for the argument `name` that must be a finite number (a
// frame rate, a time, a frame step): ValueError naming it for NaN or an
// infinity.
double finite_double(py::handle value, const char* name);

// The same test for a value kept as the Python object it is (an int stays an
// int): a real number that is NaN or infinite is a ValueError naming `name`.
// Ints always pass; values that are no real number are left to the code that
// uses them, with its own error.
void check_finite(py::handle value, const char* name);

// bool(value), with the interpreter's error when it has no truth value.
bool is_true(py::handle value);

// int(value): the interpreter's int conversion (floats truncate toward zero).
py::int_ to_int(py::handle value);

// int(value) of the argument `name`, after check_finite(value, name): a NaN
// or infinite float is a ValueError naming it.
py::int_ to_int(py::handle value, const char* name);

// An image extent (a number of rows or columns) given as `name`: an integer
// from 0 to INT_MAX, the largest OpenCV takes; ValueError naming it when
// negative, OverflowError when larger.
int to_extent(py::handle value, const char* name);

// int(value) as a C++ integer for the argument `name`: ValueError naming it
// for NaN or an infinity, OverflowError naming it beyond the 64-bit range.
long long to_integer(py::handle value, const char* name);

// The message naming argument `name` and its value: "name = repr(value)".
std::string named_value(const char* name, py::handle value);

}  // namespace common
