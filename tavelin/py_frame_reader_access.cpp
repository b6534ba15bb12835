// Tavelin._FrameReader: the shared frame reader itself, for tests and for
// diagnosing a recording (which way frames are located, seeks, decodes).
// Private: the readers of the module are the public way to frames.
#include <pybind11/pybind11.h>

#include "common/frame_reader.hpp"
#include "common/py_guard.hpp"
#include "common/py_ndarray.hpp"
#include "common/py_values.hpp"
#include "tavelin/py_module.hpp"

namespace tavelin {

using common::FrameReader;

namespace {

const char* mode_name(FrameReader::Mode mode) {
    switch (mode) {
        case FrameReader::Mode::Indexed: return "indexed";
        case FrameReader::Mode::Sequential: return "sequential";
        case FrameReader::Mode::OpenCV: return "opencv";
        case FrameReader::Mode::Closed: break;
    }
    return "closed";
}

py::object frame_or_none(bool ok, cv::Mat& frame) {
    return ok ? py::object(common::to_array(std::move(frame))) : py::object(py::none());
}

}  // namespace

void declare_frame_reader_access(py::module_& m) {
    py::class_<FrameReader>(m, "_FrameReader",
                            "The exact frame reader of one video file (frame k is the k-th frame\n"
                            "OpenCV reads forward). prefer: 'indexed', 'sequential' or 'opencv'.")
        .def(py::init([](py::handle path, int threads, bool skip_nonref, const std::string& prefer) {
                 FrameReader::Options options;
                 options.threads = threads;
                 options.skip_nonref = skip_nonref;
                 if (prefer == "sequential")
                     options.prefer = FrameReader::Mode::Sequential;
                 else if (prefer == "opencv")
                     options.prefer = FrameReader::Mode::OpenCV;
                 else if (prefer != "indexed")
                     throw py::value_error("prefer must be 'indexed', 'sequential' or 'opencv'");
                 const std::string file = common::fs_path(path);
                 return common::core_call([&] { return new FrameReader(file, options); });
             }),
             py::arg("path"), py::arg("threads") = 0, py::arg("skip_nonref") = true, py::arg("prefer") = "indexed")
        .def("is_open", &FrameReader::is_open)
        .def_property_readonly("mode", [](const FrameReader& r) { return mode_name(r.mode()); })
        .def("frame_count", &FrameReader::frame_count)
        .def("frame_size",
             [](const FrameReader& r) {
                 const cv::Size size = r.frame_size();
                 return py::make_tuple(size.width, size.height);
             })
        .def("position", &FrameReader::position)
        .def(
            "read",
            [](FrameReader& r, int64_t index) {
                cv::Mat frame;
                const bool ok = common::core_call([&] { return r.read(index, frame); });
                return frame_or_none(ok, frame);
            },
            py::arg("index"))
        .def(
            "grab", [](FrameReader& r, int64_t index) { return common::core_call([&] { return r.grab(index); }); },
            py::arg("index"))
        .def("retrieve",
             [](FrameReader& r) {
                 cv::Mat frame;
                 const bool ok = common::core_call([&] { return r.retrieve(frame); });
                 return frame_or_none(ok, frame);
             })
        .def("stats", [](const FrameReader& r) {
            const FrameReader::Stats s = r.stats();
            py::dict counts;
            counts["seeks"] = s.seeks;
            counts["reopens"] = s.reopens;
            counts["packets_sent"] = s.packets_sent;
            counts["frames_decoded"] = s.frames_decoded;
            counts["frames_converted"] = s.frames_converted;
            counts["fallbacks"] = s.fallbacks;
            return counts;
        });
}

}  // namespace tavelin
