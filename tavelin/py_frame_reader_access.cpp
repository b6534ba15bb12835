// Tavelin._FrameReader: the shared frame reader itself, for tests and for
// diagnosing a recording (which way frames are located, seeks, decodes).
// Private: the readers of the module are the public way to frames.
#include <pybind11/pybind11.h>

#include <mutex>
#include <string>

#include "common/frame_reader.hpp"
#include "common/packet_index.hpp"
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

// A frame reader that Python threads may share: a FrameReader is not
// thread-safe (FFmpeg's decoder state), so every use holds its mutex. The
// mutex is taken with the GIL released (inside core_call), so a thread
// waiting for it never blocks the thread that holds it.
class SharedReader {
public:
    SharedReader(const std::string& path, const FrameReader::Options& options) : reader_(path, options) {}

    // `use(reader)` with the reader to itself, the GIL released.
    template <typename Use>
    auto with(Use&& use) {
        return common::core_call([&] {
            const std::lock_guard<std::mutex> lock(busy_);
            return use(reader_);
        });
    }

private:
    std::mutex busy_;
    FrameReader reader_;
};

}  // namespace

void declare_frame_reader_access(py::module_& m) {
    py::class_<SharedReader>(m, "_FrameReader",
                             "The exact frame reader of one video file (frame k is the k-th frame\n"
                             "OpenCV reads forward). prefer: 'indexed', 'sequential' or 'opencv'.\n"
                             "Threads may share one: their calls are served one at a time.")
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
                 return common::core_call([&] { return new SharedReader(file, options); });
             }),
             py::arg("path"), py::arg("threads") = 0, py::arg("skip_nonref") = true, py::arg("prefer") = "indexed")
        .def("is_open", [](SharedReader& r) { return r.with([](FrameReader& f) { return f.is_open(); }); })
        .def("open_error",
             [](SharedReader& r) { return r.with([](FrameReader& f) { return std::string(f.open_error()); }); })
        .def("index_problem",
             [](SharedReader& r) { return r.with([](FrameReader& f) { return std::string(f.index_problem()); }); })
        .def("count_frames", [](SharedReader& r) { return r.with([](FrameReader& f) { return f.count_frames(); }); })
        .def_static("forget_indexes", [] { common::PacketIndex::forget_all(); })
        .def_property_readonly(
            "mode", [](SharedReader& r) { return mode_name(r.with([](FrameReader& f) { return f.mode(); })); })
        .def("frame_count", [](SharedReader& r) { return r.with([](FrameReader& f) { return f.frame_count(); }); })
        .def("frame_size",
             [](SharedReader& r) {
                 const cv::Size size = r.with([](FrameReader& f) { return f.frame_size(); });
                 return py::make_tuple(size.width, size.height);
             })
        .def("position", [](SharedReader& r) { return r.with([](FrameReader& f) { return f.position(); }); })
        .def(
            "read",
            [](SharedReader& r, int64_t index) {
                cv::Mat frame;
                const bool ok = r.with([&](FrameReader& f) { return f.read(index, frame); });
                return frame_or_none(ok, frame);
            },
            py::arg("index"))
        .def(
            "grab",
            [](SharedReader& r, int64_t index) { return r.with([&](FrameReader& f) { return f.grab(index); }); },
            py::arg("index"))
        .def("retrieve",
             [](SharedReader& r) {
                 cv::Mat frame;
                 const bool ok = r.with([&](FrameReader& f) { return f.retrieve(frame); });
                 return frame_or_none(ok, frame);
             })
        .def("stats", [](SharedReader& r) {
            const FrameReader::Stats s = r.with([](FrameReader& f) { return f.stats(); });
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
