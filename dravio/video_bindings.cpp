// Dravio's video functions: cv_VideoWriter, cv_toVideo, cv_ExplodeVideo,
// VideoCombine and RegularVideo.
#include <opencv2/videoio.hpp>

#include "common/binding.hpp"
#include "common/video_writer.hpp"
#include "common/image_io.hpp"
#include "common/ndarray.hpp"
#include "common/pyvalues.hpp"
#include "dravio/bindings.hpp"
#include "dravio/video_tools.hpp"

namespace dravio {

namespace {

using common::Args;

// The codec of a format key, compared as Python compares (format == key).
// No match fails as the unassigned writer variable did.
const Codec& codec_for(py::handle format) {
    for (const auto& codec : codecs)
        if (format.equal(py::str(codec.key))) return codec;
    PyErr_SetString(PyExc_UnboundLocalError, "local variable 'video' referenced before assignment");
    throw py::error_already_set();
}

// A frame rate as OpenCV's Python layer takes it: any real number.
double to_rate(py::handle value) {
    const double rate = PyFloat_AsDouble(value.ptr());
    if (rate == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return rate;
}

long long positive_step(py::handle value, const char* name) {
    const long long step = common::to_index(value);
    if (step < 1) throw py::value_error(std::string(name) + " must be a positive integer, got " + std::to_string(step));
    return step;
}

std::vector<std::string> path_list(py::handle paths) {
    std::vector<std::string> result;
    for (auto item : paths) result.push_back(common::fs_path(item));
    return result;
}

std::vector<VideoInfo> probe_all(const std::vector<std::string>& paths, const VideoInfo& first) {
    std::vector<VideoInfo> infos{first};
    py::gil_scoped_release unlocked;
    for (size_t i = 1; i < paths.size(); ++i) infos.push_back(probe_video(paths[i]));
    return infos;
}

VideoInfo probe(const std::string& path) {
    py::gil_scoped_release unlocked;
    return probe_video(path);
}

py::object to_video(Args& a) {
    py::object frames = a[0];
    const auto count = static_cast<long long>(py::len(frames));
    if (count == 0) return py::bool_(false);
    const std::string path = common::fs_path(a[1]);
    const double fps = to_rate(a[2]);
    cv::VideoWriter writer;

    if (py::isinstance<py::str>(frames[py::int_(0)])) {
        const std::vector<std::string> paths = path_list(frames);
        cv::Mat first;
        {
            py::gil_scoped_release unlocked;
            first = common::read_image(paths[0]);
            common::open_video_writer(writer, path, mp4v.code(), fps, first.size(), true);
        }
        common::print(py::str("Writing video from dictories."));
        py::gil_scoped_release unlocked;
        write_image_files(paths, first, writer, check_signals);
        writer.release();
    } else {
        const long long space = positive_step(a[4], "space");
        std::vector<common::MatView> views;
        std::vector<cv::Mat> images;
        for (long long i = 0; i < count; i += space) {
            views.push_back(common::mat_view(frames[py::int_(i)], "frame"));
            images.push_back(views.back().mat);
        }
        // Every frame is checked before the video is created: OpenCV's writer
        // would silently drop a frame of another size or kind.
        const cv::Size size = images[0].size();
        for (size_t k = 0; k < images.size(); ++k)
            check_frame(images[k], size, "frame " + std::to_string(k * space) + " of the list");
        {
            py::gil_scoped_release unlocked;
            common::open_video_writer(writer, path, mp4v.code(), fps, size, true);
        }
        common::print(py::str("Writing video from image list."));
        py::gil_scoped_release unlocked;
        write_images(images, writer, check_signals);
        writer.release();
    }
    return py::bool_(true);
}

py::object explode_video(Args& a) {
    const std::string path = common::fs_path(a[0]);
    std::vector<cv::Mat> frames;
    {
        py::gil_scoped_release unlocked;
        frames = read_all_frames(path, check_signals);
    }
    py::list result;
    for (auto& frame : frames) result.append(common::to_array(std::move(frame)));
    return result;
}

py::object video_combine(Args& a) {
    if (py::len(a[0]) == 0) return py::bool_(false);
    const std::vector<std::string> paths = path_list(a[0]);
    const std::string out = common::fs_path(a[1]);
    const long long space = positive_step(a[3], "space");
    const VideoInfo first = probe(paths[0]);
    const Codec& codec = codec_for(a[2]);
    const std::vector<VideoInfo> infos = probe_all(paths, first);

    std::vector<FramePlan> plan;
    for (size_t i = 0; i < paths.size(); ++i) {
        auto& file = plan.emplace_back(FramePlan{paths[i], {}, infos[i].size});
        for (long long frame = 0; frame < infos[i].frame_count; frame += space) file.frames.push_back(frame);
    }
    py::gil_scoped_release unlocked;
    combine_videos(out, codec, first.fps, paths[0], first.size, plan, check_signals);
    return py::none();
}

py::object regular_video(py::module_& m, Args& a) {
    if (py::len(a[0]) == 0) return py::bool_(false);
    const std::vector<std::string> paths = path_list(a[0]);
    const std::string out = common::fs_path(a[1]);
    const VideoInfo first = probe(paths[0]);
    py::object fps = a[4];
    if (fps.equal(py::int_(0))) fps = py::float_(first.fps);
    const double writer_fps = common::to_int(fps).cast<double>();  // a whole number of frames per second
    const Codec& codec = codec_for(a[3]);
    const std::vector<VideoInfo> infos = probe_all(paths, first);

    // The step runs across the files: GetIndex over the whole recording.
    py::list counts;
    for (const auto& info : infos) counts.append(info.frame_count);
    py::list clip;
    for (long long value : {0LL, static_cast<long long>(paths.size()) - 1, 0LL, infos.back().frame_count - 1})
        clip.append(value);
    py::object selection = m.attr("GetIndex")(counts, clip, a[2]);
    py::object files = selection[py::int_(0)], numbers = selection[py::int_(1)];

    std::vector<FramePlan> plan;
    for (size_t k = 0, n = py::len(files); k < n; ++k) {
        const auto file = static_cast<size_t>(common::to_index(files[py::int_(k)]));
        auto& entry = plan.emplace_back(FramePlan{paths.at(file), {}, infos.at(file).size});
        for (auto number : numbers[py::int_(k)]) entry.frames.push_back(common::to_int(number).cast<long long>());
    }
    py::gil_scoped_release unlocked;
    combine_videos(out, codec, writer_fps, paths[0], first.size, plan, check_signals);
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
                [](Args& a) -> py::object {
                    const Codec& codec = codec_for(a[1]);
                    return py::module_::import("cv2").attr("VideoWriter")(a[0], codec.code(), a[2], a[3], true);
                });

    common::def(m, "cv_toVideo(frames, path, fps, format='.mp4', space=1)",
                "Writes a sequence of images to the MPEG-4 (mp4v) video path at fps; the frame size\n"
                "is the first image's. frames holds image file paths (when frames[0] is a str;\n"
                "every path is written, several files are decoded ahead) or images (every\n"
                "space-th one is written, from the first). format is not used. Returns False for\n"
                "an empty sequence (no file is made), True once the video is written. OSError when\n"
                "the video cannot be written, ValueError for an image of another size than the\n"
                "first or one that is not 8-bit BGR (for paths, raised when that file is reached).",
                to_video);

    common::def(m, "cv_ExplodeVideo(path, /)",
                "Every frame of the video at path, in order, as reading it forward gives them\n"
                "(an empty list for a file that cannot be opened).",
                explode_video);

    common::def(m, "VideoCombine(VdoPathList, path, format='.mp4', space=1)",
                "Joins video files into the video path, keeping frames 0, space, 2*space, ... of\n"
                "each file (the step restarts in every file). Frame rate and size are the first\n"
                "file's; format is a codec key of cv_VideoWriter. Frames that cannot be read are\n"
                "skipped. Returns False for an empty list, None once the video is written.\n"
                "ValueError (before writing) for a file of another frame size than the first;\n"
                "OSError when the video cannot be written.",
                video_combine);

    common::def(m, "RegularVideo(VdoPathList, OutPath, times, format='.mp4', fps=0)",
                "A time-lapse of a recording stored as several files: one frame every times\n"
                "frames, counted across the files (GetIndex over the whole recording, which\n"
                "prints its table), written to OutPath at int(fps) frames per second (fps 0: the\n"
                "first file's rate). Frames that cannot be read are skipped. Returns False for an\n"
                "empty list, None once the video is written. ValueError (before writing) for a\n"
                "file of another frame size than the first; OSError when the video cannot be\n"
                "written.",
                [m](Args& a) mutable { return regular_video(m, a); });
}

}  // namespace dravio
