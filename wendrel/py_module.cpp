// Module Wendrel: number ranges and file helpers that the toolkit's modules
// receive through star imports.
#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_values.hpp"
#include "wendrel/files.hpp"

namespace py = pybind11;

TOOLKIT_MODULE(Wendrel, m) {
    m.doc() = "Number ranges and file helpers: orange, GetFiles, makedir.";

    common::def(m, "orange(start, stop, step)",
                "The list start, start + step, ... up to and including stop when it falls on\n"
                "the step; an empty list when start > stop. step must be positive.",
                [](py::object start, py::object stop, py::object step) {
                    const auto first = common::to_index(start);
                    const auto last = common::to_index(stop);
                    const auto by = common::to_index(step);
                    if (by <= 0) throw py::value_error("orange() step must be positive, got " + std::to_string(by));
                    py::list values;
                    for (long long v = first; v <= last; v += by) {
                        values.append(v);
                        if (last - v < by) break;  // the next value would pass stop (or overflow)
                    }
                    return values;
                });

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
