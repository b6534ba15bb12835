// Module Wendrel: number ranges and file helpers that the toolkit's modules
// receive through star imports.
#include "common/binding.hpp"
#include "common/pyvalues.hpp"
#include "wendrel/files.hpp"

namespace py = pybind11;
using common::Args;

PYBIND11_MODULE(Wendrel, m) {
    common::init_module(m);
    m.doc() = "Number ranges and file helpers: orange, GetFiles, makedir.";

    common::def(m, "orange(start, stop, step)",
                "The list start, start + step, ... up to and including stop when it falls on\n"
                "the step; an empty list when start > stop. step must be positive.",
                [](Args& a) -> py::object {
                    const auto start = common::to_index(a[0]);
                    const auto stop = common::to_index(a[1]);
                    const auto step = common::to_index(a[2]);
                    if (step <= 0) throw py::value_error("orange() step must be positive, got " + std::to_string(step));
                    py::list values;
                    for (long long v = start; v <= stop; v += step) {
                        values.append(v);
                        if (stop - v < step) break;  // the next value would pass stop (or overflow)
                    }
                    return values;
                });

    common::def(m, "GetFiles(folder, pattern)",
                "Full paths of the files in folder that match pattern, sorted by file name\n"
                "(recording order for camcorder names). pattern is a wildcard pattern such as\n"
                "'*.MTS' or a file-name ending such as '.jpg'. No match gives an empty list.",
                [](Args& a) -> py::object {
                    const std::string folder = common::fs_path(a[0]);
                    const std::string pattern = common::fs_path(a[1]);
                    std::vector<std::string> names;
                    {
                        py::gil_scoped_release unlocked;
                        names = wendrel::matching_files(folder, pattern);
                    }
                    const bool separated = folder.empty() || folder.back() == '/';
                    py::list paths;
                    for (const auto& name : names) paths.append(common::fs_str(separated ? folder + name : folder + "/" + name));
                    return paths;
                });

    common::def(m, "makedir(folder)",
                "Creates folder with its missing parents. An existing folder is no error, and\n"
                "a trailing separator is fine.",
                [](Args& a) -> py::object {
                    const std::string folder = common::fs_path(a[0]);
                    wendrel::make_directories(folder);
                    return py::none();
                });
}
