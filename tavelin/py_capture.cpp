// Clip, TimeCal and the Capture record.
#include "common/py_binding.hpp"
#include "common/py_values.hpp"
#include "tavelin/py_module.hpp"

namespace tavelin {

namespace {

// The clock time t1 ([hour, minute, second]) advanced by sec seconds, with the
// interpreter's own arithmetic: ints stay ints, floats give floats, floor
// division carries negative offsets back, and an hour above 12 folds once.
py::object time_cal(const py::object& t1, const py::object& sec) {
    const py::int_ sixty(60), twelve(12);
    auto item = [](const py::object& time, int k) { return py::object(time[py::int_(k)]); };
    py::object t2 = t1.attr("copy")();
    common::check_finite(sec, "sec");
    for (int k = 0; k < 3; ++k) common::check_finite(item(t1, k), ("t1[" + std::to_string(k) + "]").c_str());
    // Every carry is computed from t1, not from the already wrapped t2.
    auto minutes = [&] { return common::floordiv(item(t1, 2) + sec, sixty) + item(t1, 1); };
    t2[py::int_(2)] = common::mod(item(t1, 2) + sec, sixty);
    t2[py::int_(1)] = common::mod(minutes(), sixty);
    t2[py::int_(0)] = common::floordiv(minutes(), sixty) + item(t1, 0);
    if (item(t2, 0) > twelve) t2[py::int_(0)] = item(t2, 0) - twelve;
    return t2;
}

// Writes the frame and every phase mask below `path`, in the folders
// "Clip {iClip}/Clip {iClip}_{name}".
void write_file(const py::module_& m, const py::object& self, const py::object& path) {
    py::module_ os = py::module_::import("os");
    const py::object clip = self.attr("iClip");
    py::object folder = common::path_join(
        {path, py::str("Clip {}").format(clip), py::str("Clip {}_{}").format(clip, self.attr("name"))});
    if (!common::is_true(os.attr("path").attr("exists")(folder))) os.attr("makedirs")(folder);
    const py::str jpeg(".jpg");
    m.attr("cv_imsave")(self.attr("frame"), common::path_join({folder, self.attr("name")}), jpeg);
    for (size_t k = 0; k < py::len(self.attr("Phase_frames")); ++k) {
        py::object base = common::path_join(
            {folder, py::object(self.attr("name")) + py::object(self.attr("Phase_frames_names")[py::int_(k)])});
        m.attr("cv_imsave")(self.attr("Phase_frames")[py::int_(k)], base, jpeg);
    }
}

}  // namespace

void declare_capture(py::module_& m) {
    py::object clip =
        common::def_class(m, "Clip(start_min, start_sec, start_videoIndex, end_min, end_sec, end_videoIndex, InjRate)",
                          "A stretch of a recording: from start_min:start_sec of file start_i to end_min:end_sec\n"
                          "of file end_i, with the injection rate InjRate of that stretch.");
    common::def_method(
        clip, "__init__(self, start_min, start_sec, start_videoIndex, end_min, end_sec, end_videoIndex, InjRate)",
        "Stores the values unchanged; the file indices as start_i and end_i.",
        [](py::object self, py::object start_min, py::object start_sec, py::object start_videoIndex, py::object end_min,
           py::object end_sec, py::object end_videoIndex, py::object InjRate) {
            self.attr("start_min") = start_min;
            self.attr("start_sec") = start_sec;
            self.attr("start_i") = start_videoIndex;
            self.attr("end_min") = end_min;
            self.attr("end_sec") = end_sec;
            self.attr("end_i") = end_videoIndex;
            self.attr("InjRate") = InjRate;
        });

    common::def(m, "TimeCal(t1, sec)",
                "The clock time t1 ([hour, minute, second]) advanced by sec seconds (may be\n"
                "negative or a float), as a new list; an hour above 12 is folded back by 12 once.",
                [](py::object t1, py::object sec) { return time_cal(t1, sec); });

    py::object capture =
        common::def_class(m, "Capture(iClip, iVideo, iFrame, Capture_time, InjRate)",
                          "One frame of a recording with the numbers that locate it (iClip, one-based;\n"
                          "iVideo; iFrame), its clock time (time), the injection rate of its clip (InjRate),\n"
                          "its name ('{iVideo}-{iClip as passed}-{iFrame}') and the results of the analysis\n"
                          "methods (Phase_frames, Phase_frames_names, PhaseNum, PhaseArea, colorframe).");

    common::def_method(capture, "__init__(self, iClip, iVideo, iFrame, Capture_time, InjRate)",
                       "Makes the record with an empty list of phase masks.",
                       [](py::object self, py::object iClip, py::object iVideo, py::object iFrame,
                          py::object Capture_time, py::object InjRate) {
                           py::object one_based = iClip + py::int_(1);  // fails before any attribute is set
                           self.attr("iClip") = one_based;
                           self.attr("iVideo") = iVideo;
                           self.attr("iFrame") = iFrame;
                           self.attr("time") = Capture_time;
                           self.attr("InjRate") = InjRate;
                           self.attr("Phase_frames") = py::list();
                           self.attr("name") = py::str("{}-{}-{}").format(iVideo, iClip, iFrame);
                       });

    common::def_method(capture, "GetFrame(self, frame)",
                       "Stores frame (the very object, not a copy) as the capture's frame.",
                       [](py::object self, py::object frame) { self.attr("frame") = frame; });

    common::def_method(capture, "WriteFile(self, path)",
                       "Writes the frame and every phase mask as JPEG files into\n"
                       "path/Clip {iClip}/Clip {iClip}_{name}: the frame as {name}.jpg, mask k as\n"
                       "{name}{Phase_frames_names[k]}.jpg.",
                       [m](py::object self, py::object path) { write_file(m, self, path); });

    common::def_method(capture, "_destory(self)", "Drops the frame and the phase masks to release their memory.",
                       [](py::object self) {
                           py::delattr(self, "frame");
                           py::delattr(self, "Phase_frames");
                       });
}

}  // namespace tavelin
