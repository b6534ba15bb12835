// Module Tessil: the description of one video file (Video), the frame
// numbers of a minutes:seconds window of it (GetCaptures) and the recording
// time of a file (GetRecordTime, in py_record_time.cpp).
#include "tessil/py_module.hpp"
#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_values.hpp"
#include "common/video_probe.hpp"
#include "tessil/creation_time.hpp"

namespace py = pybind11;

namespace {

// Chained `a == b == 0`: a equals b and b equals 0.
bool both_zero(const py::object& a, const py::object& b) { return a.equal(b) && b.equal(py::int_(0)); }

// The frame numbers of the window Sm:Ss to Em:Es at the step Space. 0:00 as a
// start is the first frame, as an end the last; the end second is counted in
// full. Python arithmetic keeps the numbers' own types until the final int().
py::object frame_window(const py::module_& m, const py::object& fps, const py::object& frame_count,
                        const py::object& space, const py::object& sm, const py::object& ss, const py::object& em,
                        const py::object& es) {
    common::check_finite(fps, "FPS");
    common::check_finite(frame_count, "Frame_Count");
    common::check_finite(space, "Space");
    common::check_finite(sm, "Sm");
    common::check_finite(ss, "Ss");
    common::check_finite(em, "Em");
    common::check_finite(es, "Es");
    const py::int_ sixty(60), one(1);
    py::object start = py::int_(0);
    if (!both_zero(sm, ss)) start = fps * (sm * sixty + ss);
    py::object end = frame_count - one;
    if (!both_zero(em, es)) {
        py::object candidate = fps * (em * sixty + es + one);
        if (candidate < frame_count) end = candidate;
    }
    return m.attr("orange")(common::to_int(start, "the start frame FPS * (Sm * 60 + Ss)"),
                            common::to_int(end, "the end frame"), common::to_int(space, "Space"));
}

}  // namespace

TOOLKIT_MODULE(Tessil, m) {
    m.doc() =
        "Video timing: Video describes one file of a recording (path, FPS,\n"
        "Frame_Count, start_time); GetCaptures lists the frames of a time window;\n"
        "GetRecordTime reads the time a video was recorded from the file.";

    common::import_star(m, "Wendrel");
    for (const char* name : {"operator", "cv2", "time", "os"}) common::import_module(m, name);

    common::def(m, "GetCreatTime(path)",
                "[hour, minute, second] of the local time at which the file was created (its\n"
                "birth time where the file system records one, else its change time).\n"
                "FileNotFoundError when the file does not exist.",
                [](py::object path) {
                    const std::string file = common::fs_path(path);
                    const auto clock =
                        common::core_call([&] { return tessil::local_clock_time(tessil::creation_time(file)); });
                    py::list time;
                    time.append(clock.hour);
                    time.append(clock.minute);
                    time.append(clock.second);
                    return time;
                });

    tessil::declare_record_time(m);

    py::object video =
        common::def_class(m, "Video(path, start_time=[0, 0, 0])",
                          "One video file of a recording: path (as given), FPS (the float OpenCV reports),\n"
                          "Frame_Count (an int: the frames a forward read delivers), start_time (the clock time of its "
                          "first frame) and Vdo (the\n"
                          "closed capture that read them). A start_time equal to [0, 0, 0], the default\n"
                          "included, is replaced by the file's creation time. FileNotFoundError when\n"
                          "path does not exist; a file OpenCV cannot open gives FPS 0.0 and no frames.");

    common::def_method(video, "__init__(self, path, start_time=[0, 0, 0])", "Describes the file at path.",
                       [m](py::object self, py::object path, py::object start_time) {
                           // A file that is not there is an error at once (FileNotFoundError
                           // naming it), not a Video with no frames that every reader skips.
                           py::module_::import("os").attr("stat")(path);
                           py::module_ cv2 = py::module_::import("cv2");
                           py::object capture = cv2.attr("VideoCapture")(common::fs_str(common::fs_path(path)));
                           self.attr("Vdo") = capture;
                           self.attr("path") = path;
                           self.attr("FPS") = capture.attr("get")(cv2.attr("CAP_PROP_FPS"));
                           // The frames a forward read delivers, not OpenCV's estimate.
                           const long long estimate =
                               common::to_int(capture.attr("get")(cv2.attr("CAP_PROP_FRAME_COUNT"))).cast<long long>();
                           const std::string file = common::fs_path(path);
                           self.attr("Frame_Count") =
                               py::int_(common::core_call([&] { return common::counted_frames(file, estimate); }));
                           py::list zero;
                           for (int i = 0; i < 3; ++i) zero.append(0);
                           if (common::is_true(py::module_::import("operator").attr("eq")(start_time, zero)))
                               start_time = m.attr("GetCreatTime")(path);
                           self.attr("start_time") = start_time;
                           capture.attr("release")();
                       });

    common::def_method(
        video, "GetCaptures(self, Space, Sm=0, Ss=0, Em=0, Es=0)",
        "The frame numbers of this file from Sm:Ss to Em:Es (minutes, seconds) at the\n"
        "step Space. 0:00 as a start means the first frame, as an end the last one.",
        [m](py::object self, py::object Space, py::object Sm, py::object Ss, py::object Em, py::object Es) {
            return frame_window(m, self.attr("FPS"), self.attr("Frame_Count"), Space, Sm, Ss, Em, Es);
        });

    common::def(m, "GetCaptures(FPS, Frame_Count, Space, Sm=0, Ss=0, Em=0, Es=0)",
                "Video.GetCaptures for a file given by its frame rate and frame count.",
                [m](py::object FPS, py::object Frame_Count, py::object Space, py::object Sm, py::object Ss,
                    py::object Em, py::object Es) { return frame_window(m, FPS, Frame_Count, Space, Sm, Ss, Em, Es); });
}
