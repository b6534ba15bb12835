// Dravio's video functions: cv_VideoWriter, cv_toVideo, cv_ExplodeVideo,
// VideoCombine and RegularVideo.
#include <opencv2/videoio.hpp>

#include <memory>

#include "common/image_io.hpp"
#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_ndarray.hpp"
#include "common/py_values.hpp"
#include "common/video_probe.hpp"
#include "common/video_writer.hpp"
#include "dravio/py_module.hpp"
#include "dravio/video_tools.hpp"

namespace dravio {

namespace {

// The codec of a format key, compared as Python compares (format == key).
// No match fails as the unassigned writer variable did.
const Codec& codec_for(py::handle format) {
    for (const auto& codec : codecs)
        if (format.equal(py::str(codec.key))) return codec;
    PyErr_SetString(PyExc_UnboundLocalError, "local variable 'video' referenced before assignment");
    throw py::error_already_set();
}

long long positive_step(py::handle value, const char* name) {
    common::check_finite(value, name);
    const long long step = common::to_index(value, name);
    if (step < 1) throw py::value_error(std::string(name) + " must be a positive integer, got " + std::to_string(step));
    return step;
}

std::vector<std::string> path_list(py::handle paths) {
    std::vector<std::string> result;
    for (auto item : paths) result.push_back(common::fs_path(item));
    return result;
}

// What OpenCV reports for every file, the first one already probed.
std::vector<common::VideoInfo> probe_all(const std::vector<std::string>& paths, const common::VideoInfo& first) {
    return common::core_call([&] {
        std::vector<common::VideoInfo> infos{first};
        for (size_t i = 1; i < paths.size(); ++i) {
            common::check_interrupt();  // a long list of files on a slow drive
            infos.push_back(common::probe_video(paths[i]));
        }
        return infos;
    });
}

common::VideoInfo probe(const std::string& path) {
    return common::core_call([&] { return common::probe_video(path); });
}

py::object to_video(const py::object& frames, const py::object& path, const py::object& fps, const py::object& space) {
    const auto count = static_cast<long long>(py::len(frames));
    if (count == 0) return py::bool_(false);
    const std::string output = common::fs_path(path);
    const double rate = common::finite_double(fps, "fps");

    // The video is opened, the line printed, then the frames written; the
    // video is closed by the core call that writes it, on every path.
    auto open_video = [&](cv::Size size) {
        return common::core_call(
            [&] { return std::make_unique<common::VideoOutput>(output, common::kMp4vFourcc, rate, size); });
    };
    if (py::isinstance<py::str>(frames[py::int_(0)])) {
        const std::vector<std::string> paths = path_list(frames);
        const cv::Mat first = common::core_call([&] { return common::read_image(paths[0]); });
        auto video = open_video(first.size());
        common::print(py::str("Writing video from dictories."));
        common::core_call([&] {
            const std::unique_ptr<common::VideoOutput> writing = std::move(video);
            write_image_files(paths, first, *writing);
            writing->close();
        });
    } else {
        const long long step = positive_step(space, "space");
        std::vector<common::MatView> views;
        std::vector<cv::Mat> images;
        for (long long i = 0; i < count; i += step) {
            views.push_back(common::mat_view(frames[py::int_(i)], "frame"));
            images.push_back(views.back().mat);
        }
        // Every frame is checked before the video is created: OpenCV's writer
        // would silently drop a frame of another size or kind.
        const cv::Size size = images[0].size();
        for (size_t k = 0; k < images.size(); ++k)
            common::check_frame(images[k], size, "frame " + std::to_string(k * step) + " of the list");
        auto video = open_video(size);
        common::print(py::str("Writing video from image list."));
        common::core_call([&] {
            const std::unique_ptr<common::VideoOutput> writing = std::move(video);
            write_images(images, step, *writing);
            writing->close();
        });
    }
    return py::bool_(true);
}

py::list explode_video(const py::object& path) {
    const std::string file = common::fs_path(path);
    std::vector<cv::Mat> frames = common::core_call([&] { return read_all_frames(file); });
    py::list result;
    for (auto& frame : frames) result.append(common::to_array(std::move(frame)));
    return result;
}

py::object video_combine(const py::object& paths_given, const py::object& path, const py::object& format,
                         const py::object& space) {
    if (py::len(paths_given) == 0) return py::bool_(false);
    const std::vector<std::string> paths = path_list(paths_given);
    const std::string output = common::fs_path(path);
    const long long step = positive_step(space, "space");
    const common::VideoInfo first = probe(paths[0]);
    const Codec& codec = codec_for(format);
    const std::vector<common::VideoInfo> infos = probe_all(paths, first);

    std::vector<FramePlan> plan;
    for (size_t i = 0; i < paths.size(); ++i) {
        auto& file = plan.emplace_back(FramePlan{paths[i], {}, infos[i].size});
        for (long long frame = 0; frame < infos[i].frame_count; frame += step) file.frames.push_back(frame);
    }
    common::core_call([&] { combine_videos(output, codec, first.fps, paths[0], first.size, plan); });
    return py::none();
}

py::object regular_video(const py::module_& m, const py::object& paths_given, const py::object& out_path,
                         const py::object& times, const py::object& format, py::object fps) {
    if (py::len(paths_given) == 0) return py::bool_(false);
    const std::vector<std::string> paths = path_list(paths_given);
    const std::string output = common::fs_path(out_path);
    const common::VideoInfo first = probe(paths[0]);
    common::check_finite(times, "times");
    if (fps.equal(py::int_(0))) fps = py::float_(first.fps);
    // A whole number of frames per second.
    const auto writer_fps = static_cast<double>(common::to_integer(fps, "fps"));
    const Codec& codec = codec_for(format);
    const std::vector<common::VideoInfo> infos = probe_all(paths, first);

    // The step runs across the files: GetIndex over the whole recording.
    py::list counts;
    for (const auto& info : infos) counts.append(info.frame_count);
    py::list clip;
    for (long long value : {0LL, static_cast<long long>(paths.size()) - 1, 0LL, infos.back().frame_count - 1})
        clip.append(value);
    py::object selection = m.attr("GetIndex")(counts, clip, times);
    py::object files = selection[py::int_(0)], numbers = selection[py::int_(1)];

    std::vector<FramePlan> plan;
    for (size_t k = 0, n = py::len(files); k < n; ++k) {
        const auto file = static_cast<size_t>(common::to_index(files[py::int_(k)], "GetIndex's file index"));
        auto& entry = plan.emplace_back(FramePlan{paths.at(file), {}, infos.at(file).size});
        for (auto number : numbers[py::int_(k)]) entry.frames.push_back(common::to_integer(number, "frame number"));
    }
    common::core_call([&] { combine_videos(output, codec, writer_fps, paths[0], first.size, plan); });
    return py::none();
}

}  // namespace

void declare_video(py::module_& m) {
    common::def(m, "cv_VideoWriter(path, format, fps, size)",
                "An OpenCV cv2.VideoWriter on path for colour frames of size (width, height) at\n"
                "fps, its codec chosen by the format key: '.mp4' mp4v, '.flv' FLV1, '.org' THEO,\n"
                "'.avi-YUV' I420, '.avi-1' PIM1, '.avi' XVID (exact, case-sensitive). The file\n"
                "name is path, whatever the key. The writer is returned even when it did not open\n"
                "(check isOpened()); release() it when done. Another key raises UnboundLocalError.",
                [](py::object path, py::object format, py::object fps, py::object size) {
                    const Codec& codec = codec_for(format);
                    common::check_finite(fps, "fps");
                    // cv2 cannot parse a size beyond OpenCV's int range and says only that.
                    if (py::isinstance<py::sequence>(size) && !py::isinstance<py::str>(size))
                        for (auto extent : size)
                            if (py::isinstance<py::int_>(extent)) common::to_extent(extent, "size");
                    // cv2 takes the path as a str: a path-like object is turned into one, and
                    // a NUL byte, at which cv2 would cut the name, is a ValueError.
                    const py::str file = common::fs_str(common::fs_path(path));
                    return py::module_::import("cv2").attr("VideoWriter")(file, codec.code(), fps, size, true);
                });

    common::def(m, "cv_toVideo(frames, path, fps, format='.mp4', space=1)",
                "Writes a sequence of images to the MPEG-4 (mp4v) video path at fps; the frame size\n"
                "is the first image's. frames holds image file paths (when frames[0] is a str;\n"
                "every path is written, several files are decoded ahead) or images (every\n"
                "space-th one is written, from the first). format is not used. Returns False for\n"
                "an empty sequence (no file is made), True once the video is written. OSError when\n"
                "the video cannot be written, ValueError for an image of another size than the\n"
                "first or one that is not 8-bit BGR (for paths, raised when that file is reached).",
                [](py::object frames, py::object path, py::object fps, py::object format, py::object space) {
                    (void)format;
                    return to_video(frames, path, fps, space);
                });

    common::def(m, "cv_ExplodeVideo(path, /)",
                "Every frame of the video at path, in order, as reading it forward gives them\n"
                "(an empty list for a file that cannot be opened).",
                [](py::object path) { return explode_video(path); });

    common::def(m, "VideoCombine(VdoPathList, path, format='.mp4', space=1)",
                "Joins video files into the video path, keeping frames 0, space, 2*space, ... of\n"
                "each file (the step restarts in every file). Frame rate and size are the first\n"
                "file's; format is a codec key of cv_VideoWriter. Frames that cannot be read are\n"
                "skipped. Returns False for an empty list, None once the video is written.\n"
                "ValueError (before writing) for a file of another frame size than the first;\n"
                "OSError when the video cannot be written.",
                [](py::object VdoPathList, py::object path, py::object format, py::object space) {
                    return video_combine(VdoPathList, path, format, space);
                });

    common::def(m, "RegularVideo(VdoPathList, OutPath, times, format='.mp4', fps=0)",
                "A time-lapse of a recording stored as several files: one frame every times\n"
                "frames, counted across the files (GetIndex over the whole recording, which\n"
                "prints its table), written to OutPath at int(fps) frames per second (fps 0: the\n"
                "first file's rate). Frames that cannot be read are skipped. Returns False for an\n"
                "empty list, None once the video is written. ValueError (before writing) for a\n"
                "file of another frame size than the first; OSError when the video cannot be\n"
                "written.",
                [m](py::object VdoPathList, py::object OutPath, py::object times, py::object format, py::object fps) {
                    return regular_video(m, VdoPathList, OutPath, times, format, fps);
                });
}

}  // namespace dravio
