// Module Wendrel: number ranges and file helpers that the toolkit's modules
// receive through star imports.
#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_values.hpp"
#include "wendrel/files.hpp"

namespace py = pybind11;

namespace {

py::object index_of(py::handle value) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (!index) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(index);
}

// start, start + step, ... up to stop, exact for Python ints of any size: the
// values are computed with the interpreter's arithmetic, or with C integers
// when the whole range fits in them.
py::list number_range(const py::object& start, const py::object& stop, const py::object& step) {
    const py::object first = index_of(start), last = index_of(stop), by = index_of(step);
    if (by <= py::int_(0)) throw py::value_error("orange() step must be positive, got " + std::string(py::repr(by)));
    if (first > last) return py::list();
    const py::object count = common::floordiv(last - first, by) + py::int_(1);
    const Py_ssize_t n = PyLong_AsSsize_t(count.ptr());
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(
            PyExc_OverflowError,
            ("orange() would give " + std::string(py::repr(count)) + " values, more than a list holds").c_str());
        throw py::error_already_set();
    }
    // PyList_New refuses what no memory can hold with MemoryError.
    PyObject* made = PyList_New(n);
    if (!made) throw py::error_already_set();
    auto values = py::reinterpret_steal<py::list>(made);
    int overflow_first = 0, overflow_last = 0, overflow_by = 0;
    const long long c_first = PyLong_AsLongLongAndOverflow(first.ptr(), &overflow_first);
    (void)PyLong_AsLongLongAndOverflow(last.ptr(), &overflow_last);
    const long long c_by = PyLong_AsLongLongAndOverflow(by.ptr(), &overflow_by);
    if (overflow_first == 0 && overflow_last == 0 && overflow_by == 0) {
        // Every value lies in [first, last]: no C overflow.
        long long v = c_first;
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyList_SET_ITEM(values.ptr(), k, py::int_(v).release().ptr());
            if (k + 1 < n) v += c_by;
            if ((k & 0xFFFFF) == 0xFFFFF && PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
        return values;
    }
    py::object v = first;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyList_SET_ITEM(values.ptr(), k, v.inc_ref().ptr());
        v = v + by;
        if ((k & 0xFFFFF) == 0xFFFFF && PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    return values;
}

}  // namespace

TOOLKIT_MODULE(Wendrel, m) {
    m.doc() = "Number ranges and file helpers: orange, GetFiles, makedir.";

    common::def(m, "orange(start, stop, step)",
                "The list start, start + step, ... up to and including stop when it falls on\n"
                "the step; an empty list when start > stop. step must be positive. Exact for\n"
                "ints of any size; OverflowError for more values than a list holds.",
                [](py::object start, py::object stop, py::object step) { return number_range(start, stop, step); });

    common::def(m, "GetFiles(folder, pattern)",
                "Full paths of the files in folder that match pattern, sorted by file name\n"
                "(recording order for camcorder names). pattern is a wildcard pattern such as\n"
                "'*.MTS' or a file-name ending such as '.jpg'. No match gives an empty list.",
                [](py::object folder, py::object pattern) {
                    const std::string directory = common::fs_path(folder);
                    const std::string wanted = common::fs_path(pattern);
                    const std::vector<std::string> names =
                        common::core_call([&] { return wendrel::matching_files(directory, wanted); });
                    const bool separated = directory.empty() || directory.back() == '/';
                    py::list paths;
                    for (const auto& name : names)
                        paths.append(common::fs_str(separated ? directory + name : directory + "/" + name));
                    return paths;
                });

    common::def(m, "makedir(folder)",
                "Creates folder with its missing parents. An existing folder is no error, and\n"
                "a trailing separator is fine.",
                [](py::object folder) {
                    const std::string path = common::fs_path(folder);
                    common::core_call([&] { wendrel::make_directories(path); });
                });
}
