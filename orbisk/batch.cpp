// Sped-up videos, still series, crops and space-time strips of a recording.
// Output paths are joined with the platform's separator.
#include "orbisk/batch.hpp"

#include <opencv2/videoio.hpp>

#include "common/binding.hpp"
#include "common/ndarray.hpp"
#include "common/pyvalues.hpp"
#include "common/video_writer.hpp"
#include "orbisk/strip_image.hpp"

namespace orbisk {

using common::Args;

namespace {

py::object path_join(std::initializer_list<py::object> parts) {
    py::object join = py::module_::import("os").attr("path").attr("join");
    py::tuple args(parts.size());
    size_t k = 0;
    for (const auto& part : parts) args[k++] = part;
    return join(*args);
}

py::object dirname(py::handle path) { return py::module_::import("os").attr("path").attr("dirname")(path); }

// The first of the two results of GetFrameIndex2: the selected frames.
py::list recorded_frames(py::module_& m, py::handle clips, py::handle videos, py::handle step) {
    py::tuple pair = py::module_::import("builtins").attr("tuple")(m.attr("GetFrameIndex2")(clips, videos, step));
    if (pair.size() != 2)
        throw py::value_error("GetFrameIndex2 must return two values, got " + std::to_string(pair.size()));
    return py::list(pair[0]);
}

struct VideoFormat {
    double fps;
    cv::Size size;
};

// The frame rate and frame size of the video file at `path`.
VideoFormat format_of(py::handle path) {
    const std::string file = common::fs_path(path);
    py::gil_scoped_release unlocked;
    cv::VideoCapture capture(file);
    return {capture.get(cv::CAP_PROP_FPS), {static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
                                            static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT))}};
}

// Writes `frames` as an MP4 (mp4v) video. With frames to write, a writer that
// does not open is an OSError naming the file; without, the writer is only
// tried, as an empty list asks for nothing to be written.
void write_video(const py::list& frames, py::handle output, const VideoFormat& format) {
    const std::string path = common::fs_path(output);
    const int mp4v = cv::VideoWriter::fourcc('m', 'p', '4', 'v');
    std::vector<common::MatView> views;
    for (auto frame : frames) views.push_back(common::mat_view(frame, "frame"));
    py::gil_scoped_release unlocked;
    cv::VideoWriter writer;
    common::open_video_writer(writer, path, mp4v, format.fps, format.size, !views.empty());
    for (const auto& view : views) writer.write(view.mat);
}

py::str video_name(py::handle times) { return py::str("X{}.mp4").format(times); }

// `value != None`: the test of each input choice.
bool given(py::handle value) { return py::reinterpret_borrow<py::object>(value).not_equal(py::none()); }

py::object speed(py::module_& m, Args& a) {
    common::print(py::str("start"));
    py::list frames = recorded_frames(m, a[3], a[1], a[2]);
    py::object first = a[0][py::int_(0)];
    py::object output = path_join({dirname(first), video_name(a[2])});
    const VideoFormat format = format_of(first);
    common::print(py::str("output"));
    write_video(frames, output, format);
    return py::none();
}

py::object speed_vdo(py::module_& m, Args& a) {
    const py::object &videos = a[0], &paths = a[1], &times = a[2], &clips = a[3], &output_dir = a[4];
    py::object recording;
    if (given(videos) && given(paths)) {
        common::print(py::str("input error! only one item should be specified."));
        return py::none();
    } else if (given(videos)) {
        recording = videos;
    } else if (given(paths)) {
        py::list made;
        for (auto path : paths) made.append(m.attr("Video")(path));
        recording = made;
    } else {
        common::print(py::str("input error!"));
        return py::none();
    }
    py::list frames = recorded_frames(m, clips, recording, times);
    py::object output = path_join({output_dir, video_name(times)});
    const VideoFormat format = format_of(py::object(recording[py::int_(0)]).attr("path"));
    if (common::is_true(a[5])) {
        py::object folder = path_join({output_dir, py::str("Visualizaiton")});
        m.attr("makedir")(folder);
        for (size_t i = 0; i < frames.size(); ++i)
            m.attr("cv_imsave")(frames[i], path_join({folder, py::str(std::to_string(i))}), ".jpg");
    }
    write_video(frames, output, format);
    return py::none();
}

py::object speed_fig(Args& a) {
    const py::object &images = a[0], &paths = a[1];
    if (given(images) && given(paths)) {
        common::print(py::str("input error! only one item should be specified."));
    } else if (given(images)) {
        py::list frames(images);
        py::object output = path_join({a[4], video_name(a[2])});
        // No video to take them from: 25 frames per second, the first image's size.
        VideoFormat format{25.0, {}};
        if (!frames.empty()) {
            py::tuple shape = frames[0].attr("shape");
            format.size = {shape[1].cast<int>(), shape[0].cast<int>()};
        }
        common::print(py::str("Start processing"));
        write_video(frames, output, format);
        common::print(py::str("Output complete!"));
    } else if (given(paths)) {
        common::print(paths);
    } else {
        common::print(py::str("input error!"));
    }
    return py::none();
}

py::object get_capture(py::module_& m, Args& a) {
    py::list frames = recorded_frames(m, a[3], a[1], a[2]);
    py::module_ os = py::module_::import("os");
    py::object folder = path_join({dirname(a[0][py::int_(0)]), py::str("Capture")});
    if (!common::is_true(os.attr("path").attr("exists")(folder))) os.attr("makedirs")(folder);
    for (size_t i = 0; i < frames.size(); ++i) {
        py::object offset = py::int_(i) * a[2];
        m.attr("cv_imsave")(frames[i], path_join({folder, py::str("t={} s").format(offset)}), ".jpg");
    }
    return py::none();
}

py::object slice_of(py::handle start, py::handle stop) {
    PyObject* slice = PySlice_New(start.ptr(), stop.ptr(), nullptr);
    if (!slice) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(slice);
}

py::object capture_crop(py::module_& m, Args& a) {
    const py::object &paths = a[0], &crop = a[1];
    py::module_ os_path = py::module_::import("os").attr("path");
    py::tuple first = os_path.attr("split")(paths[py::int_(0)]);
    m.attr("makedir")(path_join({first[0], py::str("Capture Crop")}));
    py::object block = py::make_tuple(slice_of(crop[py::int_(0)], crop[py::int_(1)]),
                                      slice_of(crop[py::int_(2)], crop[py::int_(3)]));
    for (auto path : paths) {
        py::tuple parts = os_path.attr("split")(path);
        py::object name = py::tuple(os_path.attr("splitext")(parts[1]))[0];
        py::object image = m.attr("cv_imread")(path);
        m.attr("cv_imsave")(image[block], path_join({parts[0], py::str("Capture Crop"), name}), ".png");
    }
    return py::none();
}

py::object make_dy_img(py::module_& m, Args& a) {
    const py::object &paths = a[0], &loc = a[1], &width = a[2], &direction = a[3];
    std::vector<std::string> files;
    for (auto path : paths) files.push_back(common::fs_path(path));
    if (files.empty()) throw py::index_error("list index out of range");
    const bool rows = direction.equal(py::str("x"));
    if (!rows && !direction.equal(py::str("y"))) {
        // No band is cut for another direction, so there is no image to save.
        PyErr_SetString(PyExc_UnboundLocalError, "local variable 'c' referenced before assignment");
        throw py::error_already_set();
    }
    const long long start = common::to_index(loc - width), stop = common::to_index(loc + width);
    cv::Mat joined;
    {
        py::gil_scoped_release unlocked;
        joined = join_bands(files, start, stop, rows);
    }
    py::tuple split = py::module_::import("os").attr("path").attr("split")(paths[py::int_(0)]);
    py::str name = py::str("Dyna-{}={},width={},Num={}").format(direction, loc, width, files.size());
    m.attr("cv_imsave")(common::to_array(std::move(joined)), path_join({split[0], name}), ".bmp");
    return py::none();
}

}  // namespace

void declare_batch(py::module_& m) {
    common::def(m, "Speed_Fig(images, paths, Times, Space, output_dir)",
                "Writes the images, in order, as the video output_dir/X{Times}.mp4 (MPEG-4, 25 frames\n"
                "per second, the size of the first image), printing 'Start processing' and\n"
                "'Output complete!'. Give images or paths, not both: with paths only, they are\n"
                "printed and nothing is written. Space is not used.",
                [](Args& a) { return speed_fig(a); });

    common::def(m, "Speed_Vdo(videos, paths, Times, Cliplist, output_dir, visualization=False)",
                "Writes every Times-th frame of the clips (GetFrameIndex2) of a recording, given as\n"
                "Video objects (videos) or file paths (paths), the other None, as the video\n"
                "output_dir/X{Times}.mp4 at the recording's frame rate; with visualization, also\n"
                "each frame as output_dir/Visualizaiton/{i}.jpg.",
                [m](Args& a) mutable { return speed_vdo(m, a); });

    common::def(m, "Speed(path, videos, Times, Cliplist)",
                "Writes every Times-th frame of the clips (GetFrameIndex2) as the video X{Times}.mp4\n"
                "in the folder of the recording's first file, at its frame rate and size: played\n"
                "back it runs Times times faster. Prints 'start' and 'output'.",
                [m](Args& a) mutable { return speed(m, a); });

    common::def(m, "GetCapture(path, videos, Times, Cliplist)",
                "Saves every Times-th frame of the clips (GetFrameIndex2) as the JPEG stills\n"
                "'t=0 s.jpg', 't={Times} s.jpg', ... in the subfolder Capture of the folder of the\n"
                "recording's first file (the number is the frame offset in the series).",
                [m](Args& a) mutable { return get_capture(m, a); });

    common::def(m, "CaptureCrop(pathlist, crop)",
                "Cuts rows crop[0]:crop[1] and columns crop[2]:crop[3] out of every image file and\n"
                "saves each block as a PNG of the same name in the subfolder 'Capture Crop' of its\n"
                "folder (made for the folder of the first image).",
                [m](Args& a) mutable { return capture_crop(m, a); });

    common::def(m, "MakeDyImg(pathlist, loc, width, dir='x')",
                "Joins the band loc-width:loc+width of every image into one space-time image: rows\n"
                "stacked top to bottom (dir 'x') or columns side by side (dir 'y'), saved as\n"
                "Dyna-{dir}={loc},width={width},Num={count}.bmp in the folder of the first image.",
                [m](Args& a) mutable { return make_dy_img(m, a); });
}

}  // namespace orbisk
