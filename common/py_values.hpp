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
// with the interpreter's TypeError otherwise (as range() does).
long long to_index(py::handle value);

// float(value) as a C double, for real numbers only (a str is a TypeError).
double to_double(py::handle value);

// bool(value), with the interpreter's error when it has no truth value.
bool is_true(py::handle value);

// int(value): the interpreter's int conversion (floats truncate toward zero).
py::int_ to_int(py::handle value);

}  // namespace common
