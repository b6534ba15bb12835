// Module Orbisk: batch jobs over a recording, and the fixed batch job that
// runs when the module is first imported.
#include <cstdlib>

#include "common/py_binding.hpp"
#include "common/py_values.hpp"
#include "orbisk/drive_paths.hpp"
#include "orbisk/py_module.hpp"

namespace py = pybind11;

namespace {

// The driver's data folders, as the Windows paths they were recorded under.
constexpr const char* kVideoFolder = "I:\\Water Porous(Repaired-指示剂更正)\\Water 1mm(40ml瓶×2)-2";
constexpr const char* kImageFolder = "F:\\Ca(OH)2 Sensitive Experiments\\5MPa\\5MPa+3mm-1";

// Where Windows drives are on this system: ORBISK_DRIVE_ROOT, else /mnt.
py::str data_folder(const char* windows_path) {
    const char* root = std::getenv("ORBISK_DRIVE_ROOT");
    return common::fs_str(orbisk::local_drive_path(windows_path, root && *root ? root : "/mnt"));
}

// The fixed batch job: a sped-up video and a still series of the recording in
// the first folder, then a video and crops of the stills in the second.
void run_driver(const py::module_& m) {
    py::list videos;
    m.attr("videos") = videos;
    m.attr("path") = data_folder(kVideoFolder);
    m.attr("pathlist") = m.attr("GetFiles")(m.attr("path"), "*.MTS");
    m.attr("VideoNumber") = py::len(m.attr("pathlist"));
    for (auto p : m.attr("pathlist")) {
        m.attr("p") = p;
        videos.append(m.attr("Video")(p));
    }
    py::list clips;
    clips.append(m.attr("Clip")(0, 0, 0, 3, 0, 2, 0));
    m.attr("Cliplist") = clips;
    m.attr("ProcessSeq").attr("append")(m.attr("process")(m.attr("pathlist"), videos, 50, clips));
    for (size_t i = 0; i < py::len(m.attr("ProcessSeq")); ++i) {
        m.attr("i") = i;
        auto job = [&] { return py::object(m.attr("ProcessSeq")[py::int_(i)]); };
        m.attr("Speed")(job().attr("path"), job().attr("videos"), job().attr("Times"), job().attr("Cliplist"));
        m.attr("GetCapture")(job().attr("path"), job().attr("videos"), job().attr("Times"), job().attr("Cliplist"));
    }
    m.attr("path") = data_folder(kImageFolder);
    m.attr("pathlist") = m.attr("GetFiles")(m.attr("path"), "*.tiff");
    py::object video = py::module_::import("os").attr("path").attr("join")(m.attr("path"), "000.mp4");
    m.attr("cvFun").attr("cv_toVideo")(m.attr("pathlist"), video, 25);
    py::list crop;
    for (int bound : {547, 625, 955, 1069}) crop.append(bound);
    m.attr("CaptureCrop")(m.attr("pathlist"), crop);
}

}  // namespace

TOOLKIT_MODULE(Orbisk, m) {
    m.doc() =
        "Batch jobs over a recording: process, Speed, Speed_Vdo, Speed_Fig, GetCapture,\n"
        "CaptureCrop, MakeDyImg. Importing the module runs the fixed batch job on the\n"
        "two data folders (under $ORBISK_DRIVE_ROOT, default /mnt).";

    common::import_module(m, "sys");
    common::import_module(m, "os");
    m.attr("sys").attr("path").attr("append")(common::fs_str(orbisk::module_folder()));
    common::import_module(m, "cv2");
    // PaddleHub is optional: nothing here uses it.
    try {
        m.attr("hub") = py::module_::import("paddlehub");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("hub") = py::none();
    }
    common::import_star(m, "Tavelin");
    common::import_module(m, "imageio");
    common::import_star(m, "Dravio");

    py::object process =
        common::def_class(m, "process(_path, _videos, _Times, _Cliplist)",
                          "A batch job: the video file paths of a recording (path), their Video objects\n"
                          "(videos), the frame step (Times) and the Clip list (Cliplist), kept as given.");
    common::def_method(
        process, "__init__(self, _path, _videos, _Times, _Cliplist)", "Stores the four objects.",
        [](py::object self, py::object _path, py::object _videos, py::object _Times, py::object _Cliplist) {
            self.attr("path") = _path;
            self.attr("videos") = _videos;
            self.attr("Times") = _Times;
            self.attr("Cliplist") = _Cliplist;
        });

    orbisk::declare_batch(m);

    m.attr("ProcessSeq") = py::list();
    run_driver(m);
}
