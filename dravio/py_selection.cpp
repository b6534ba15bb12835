// GetIndex: the frames of a span of a multi-file recording.
#include <stdexcept>

#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_values.hpp"
#include "dravio/frame_selection.hpp"
#include "dravio/py_module.hpp"

namespace dravio {

namespace {

// An integer stays one; any other real number is a float, which must be finite.
Number to_number(py::handle value, const char* name) {
    if (!PyFloat_Check(value.ptr()) && PyIndex_Check(value.ptr())) return {false, common::to_index(value, name), 0.0};
    return {true, 0, common::finite_double(value, name)};
}

py::object to_python(const Number& n) {
    return n.is_float ? py::object(py::float_(n.real)) : py::object(py::int_(n.integer));
}

py::tuple get_index(const py::object& frame_list, const py::object& clip, const py::object& space) {
    std::vector<long long> counts;
    for (auto count : frame_list) counts.push_back(common::to_index(count, "Framelist"));
    const long long start = common::to_index(clip[py::int_(0)], "Clip[0]");
    const long long end = common::to_index(clip[py::int_(1)], "Clip[1]");
    const auto start_frame = to_number(clip[py::int_(2)], "Clip[2]");
    const auto end_frame = to_number(clip[py::int_(3)], "Clip[3]");
    const auto step = to_number(space, "space");

    std::vector<long long> cumulative;
    try {
        cumulative = common::core_call([&] { return cumulative_frames(counts, start); });
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, (std::string("Framelist: ") + e.what()).c_str());
        throw py::error_already_set();
    }
    common::print(py::str(format_table(cumulative)));
    FrameSelection selection;
    try {
        selection =
            common::core_call([&] { return select_frames(cumulative, start, end, start_frame, end_frame, step); });
    } catch (const std::invalid_argument& e) {
        // A bad step or span: named by the arguments that gave it.
        throw py::value_error(common::named_value("Clip", clip) + ", " + common::named_value("space", space) + ": " +
                              e.what());
    }

    py::list files, frames;
    for (size_t i = 0; i < selection.files.size(); ++i) {
        files.append(selection.files[i]);
        py::list numbers;
        for (const auto& n : selection.frames[i]) numbers.append(to_python(n));
        frames.append(numbers);
    }
    return py::make_tuple(files, frames);
}

}  // namespace

void declare_selection(py::module_& m) {
    common::def(
        m, "GetIndex(Framelist, Clip, space)",
        "The frames to visit for a span of a multi-file recording.\n\n"
        "Framelist holds the frame count of each file; Clip is (start file, end file,\n"
        "start frame in the start file, end frame in the end file), both ends included;\n"
        "space is the step, counted continuously across the files. Returns\n"
        "(Videoindex, FrameindexInVideo): the files start..end and, per file, its frame\n"
        "numbers (ints, or floats when a bound or the step is a float). Prints the\n"
        "cumulative frame table. ValueError for a NaN or infinite number, a step that is\n"
        "not positive, or float bounds too far apart for the step; OverflowError for\n"
        "integers beyond 64 bits.",
        [](py::object Framelist, py::object Clip, py::object space) { return get_index(Framelist, Clip, space); });
}

}  // namespace dravio
