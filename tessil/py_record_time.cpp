// Tessil.GetRecordTime: the binding of tessil::record_time.
#include <pybind11/pybind11.h>

#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_values.hpp"
#include "tessil/py_module.hpp"
#include "tessil/record_time.hpp"

namespace tessil {

void declare_record_time(py::module_& m) {
    common::def(m, "GetRecordTime(path, with_source=False)",
                "[hour, minute, second] of the local time at which the video at path was\n"
                "recorded (its frame 0), read from the file itself:\n"
                "- AVCHD (.MTS, .M2TS): the camcorder's clock in the H.264 stream, the\n"
                "  camcorder's own wall-clock time (not converted to this computer's time\n"
                "  zone), from the first GOP checked against the next ones. A RuntimeWarning\n"
                "  names both times when they disagree: the first GOP's time is kept unless\n"
                "  most of the GOPs read agree on another;\n"
                "- MP4, MOV: the container's creation_time (UTC) in the local time zone;\n"
                "- otherwise GetCreatTime(path).\n"
                "with_source=True returns (time, source), source 'avchd', 'container' or\n"
                "'file'. FileNotFoundError when the file does not exist.",
                [m](py::object path, py::object with_source) {
                    const std::string file = common::fs_path(path);
                    RecordTime found = common::core_call([&] { return record_time(file); });
                    py::object warn = py::module_::import("warnings").attr("warn");
                    for (const auto& message : found.warnings)
                        warn(common::fs_str(message), py::handle(PyExc_RuntimeWarning));  // at the caller's line
                    py::object time;
                    if (found.source == TimeSource::File) {
                        time = m.attr("GetCreatTime")(path);
                    } else {
                        py::list clock;
                        clock.append(found.time.hour);
                        clock.append(found.time.minute);
                        clock.append(found.time.second);
                        time = clock;
                    }
                    if (common::is_true(with_source))
                        return py::object(py::make_tuple(time, source_name(found.source)));
                    return time;
                });
}

}  // namespace tessil
