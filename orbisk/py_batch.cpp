// Sped-up videos, still series, crops and space-time strips of a recording.
// Output paths are joined with the platform's separator.
#include <memory>

#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_ndarray.hpp"
#include "common/py_values.hpp"
#include "common/video_probe.hpp"
#include "common/video_writer.hpp"
#include "orbisk/py_module.hpp"
#include "orbisk/strip_image.hpp"

namespace orbisk {

namespace {

using common::dirname;
using common::path_join;

// The first of the two results of GetFrameIndex2: the selected frames.
py::list recorded_frames(const py::module_& m, py::handle clips, py::handle videos, py::handle step) {
    py::tuple pair = py::module_::import("builtins").attr("tuple")(m.attr("GetFrameIndex2")(clips, videos, step));
    if (pair.size() != 2)
        throw py::value_error("GetFrameIndex2 must return two values, got " + std::to_string(pair.size()));
    return py::list(pair[0]);
}

// The frame rate and frame size of the video file at `path`.
common::VideoInfo format_of(py::handle path) {
    const std::string file = common::fs_path(path);
    return common::core_call([&] { return common::probe_video(file); });
}

// Throws ValueError naming the first of `frames` that is not an 8-bit BGR
// image of `size` (OpenCV's writer would drop it without a word); `what`
// names the series ("of the video"). The views are kept for writing.
std::vector<common::MatView> checked_frames(const py::list& frames, cv::Size size, const std::string& what) {
    std::vector<common::MatView> views;
    for (auto frame : frames) views.push_back(common::mat_view(frame, "frame"));
    for (size_t k = 0; k < views.size(); ++k)
        common::check_frame(views[k].mat, size, "frame " + std::to_string(k) + " " + what);
    return views;
}

// Writes `frames` as an MP4 (mp4v) video of the frame rate and size of
// `format`. Every frame is checked first. With frames to write, a writer that
// does not open is an OSError naming the file; without, the writer is only
// tried, as an empty list asks for nothing. `opened`, when given, is printed
// once the writer is open, before the frames are written. The finished file
// is checked (an OSError when the disk filled up, for example); after an
// error or Ctrl-C the frames written so far stay a playable video.
void write_video(const py::list& frames, py::handle output, const common::VideoInfo& format,
                 const char* opened = nullptr) {
    const std::string path = common::fs_path(output);
    const std::vector<common::MatView> views = checked_frames(frames, format.size, "of the video");
    auto video = common::core_call([&] {
        return std::make_unique<common::VideoOutput>(path, common::kMp4vFourcc, format.fps, format.size,
                                                     !views.empty());
    });
    if (opened) common::print(py::str(opened));
    common::core_call([&] {
        const std::unique_ptr<common::VideoOutput> writing = std::move(video);
        for (size_t k = 0; k < views.size(); ++k) {
            common::check_interrupt();
            writing->write(views[k].mat, "frame " + std::to_string(k) + " of the video");
        }
        writing->close();
    });
}

py::str video_name(py::handle times) { return py::str("X{}.mp4").format(times); }

// `value != None`: the test of each input choice.
bool given(py::handle value) { return py::reinterpret_borrow<py::object>(value).not_equal(py::none()); }

void speed(const py::module_& m, const py::object& path, const py::object& videos, const py::object& times,
           const py::object& clips) {
    common::check_finite(times, "Times");
    common::print(py::str("start"));
    py::list frames = recorded_frames(m, clips, videos, times);
    py::object first = path[py::int_(0)];
    py::object output = path_join({dirname(first), video_name(times)});
    const common::VideoInfo format = format_of(first);
    write_video(frames, output, format, "output");
}

void speed_vdo(const py::module_& m, const py::object& videos, const py::object& paths, const py::object& times,
               const py::object& clips, const py::object& output_dir, const py::object& visualization) {
    common::check_finite(times, "Times");
    py::object recording;
    if (given(videos) && given(paths)) {
        common::print(py::str("input error! only one item should be specified."));
        return;
    } else if (given(videos)) {
        recording = videos;
    } else if (given(paths)) {
        py::list made;
        for (auto path : paths) made.append(m.attr("Video")(path));
        recording = made;
    } else {
        common::print(py::str("input error!"));
        return;
    }
    py::list frames = recorded_frames(m, clips, recording, times);
    py::object output = path_join({output_dir, video_name(times)});
    const common::VideoInfo format = format_of(py::object(recording[py::int_(0)]).attr("path"));
    checked_frames(frames, format.size, "of the video");  // refused before any still is saved
    if (common::is_true(visualization)) {
        py::object folder = path_join({output_dir, py::str("Visualizaiton")});
        m.attr("makedir")(folder);
        for (size_t i = 0; i < frames.size(); ++i)
            m.attr("cv_imsave")(frames[i], path_join({folder, py::str(std::to_string(i))}), ".jpg");
    }
    write_video(frames, output, format);
}

void speed_fig(const py::object& images, const py::object& paths, const py::object& times,
               const py::object& output_dir) {
    if (given(images) && given(paths)) {
        common::print(py::str("input error! only one item should be specified."));
    } else if (given(images)) {
        py::list frames(images);
        py::object output = path_join({output_dir, video_name(times)});
        // No video to take them from: 25 frames per second, the first image's size.
        common::VideoInfo format;
        format.fps = 25.0;
        if (!frames.empty()) {
            py::tuple shape = frames[0].attr("shape");
            format.size = {common::to_extent(shape[1], "images[0].shape[1]"),
                           common::to_extent(shape[0], "images[0].shape[0]")};
        }
        write_video(frames, output, format, "Start processing");
        common::print(py::str("Output complete!"));
    } else if (given(paths)) {
        common::print(paths);
    } else {
        common::print(py::str("input error!"));
    }
}

void get_capture(const py::module_& m, const py::object& path, const py::object& videos, const py::object& times,
                 const py::object& clips) {
    common::check_finite(times, "Times");
    py::list frames = recorded_frames(m, clips, videos, times);
    // The stills are the video's frames: one of another size is refused
    // before any is saved, as the video writers refuse it.
    py::object first = path[py::int_(0)];
    const common::VideoInfo format = format_of(first);
    if (format.size.empty() && !frames.empty())
        common::throw_unreadable_video(common::fs_path(first),
                                       "cannot read the video that gives the stills their frame size");
    checked_frames(frames, format.size, "of the series");
    py::module_ os = py::module_::import("os");
    py::object folder = path_join({dirname(first), py::str("Capture")});
    if (!common::is_true(os.attr("path").attr("exists")(folder))) os.attr("makedirs")(folder);
    for (size_t i = 0; i < frames.size(); ++i) {
        py::object offset = py::int_(i) * times;
        m.attr("cv_imsave")(frames[i], path_join({folder, py::str("t={} s").format(offset)}), ".jpg");
    }
}

py::object slice_of(py::handle start, py::handle stop) {
    PyObject* slice = PySlice_New(start.ptr(), stop.ptr(), nullptr);
    if (!slice) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(slice);
}

void capture_crop(const py::module_& m, const py::object& paths, const py::object& crop) {
    py::module_ os_path = py::module_::import("os").attr("path");
    py::tuple first = os_path.attr("split")(paths[py::int_(0)]);
    m.attr("makedir")(path_join({first[0], py::str("Capture Crop")}));
    py::object block =
        py::make_tuple(slice_of(crop[py::int_(0)], crop[py::int_(1)]), slice_of(crop[py::int_(2)], crop[py::int_(3)]));
    for (auto path : paths) {
        py::tuple parts = os_path.attr("split")(path);
        py::object name = py::tuple(os_path.attr("splitext")(parts[1]))[0];
        py::object image = m.attr("cv_imread")(path);
        m.attr("cv_imsave")(image[block], path_join({parts[0], py::str("Capture Crop"), name}), ".png");
    }
}

void make_dy_img(const py::module_& m, const py::object& paths, const py::object& loc, const py::object& width,
                 const py::object& direction) {
    std::vector<std::string> files;
    for (auto path : paths) files.push_back(common::fs_path(path));
    if (files.empty()) throw py::index_error("list index out of range");
    const bool rows = direction.equal(py::str("x"));
    if (!rows && !direction.equal(py::str("y"))) {
        // No band is cut for another direction, so there is no image to save.
        PyErr_SetString(PyExc_UnboundLocalError, "local variable 'c' referenced before assignment");
        throw py::error_already_set();
    }
    const long long start = common::to_index(loc - width, "loc - width");
    const long long stop = common::to_index(loc + width, "loc + width");
    cv::Mat joined = common::core_call([&] { return join_bands(files, start, stop, rows); });
    py::tuple split = py::module_::import("os").attr("path").attr("split")(paths[py::int_(0)]);
    py::str name = py::str("Dyna-{}={},width={},Num={}").format(direction, loc, width, files.size());
    m.attr("cv_imsave")(common::to_array(std::move(joined)), path_join({split[0], name}), ".bmp");
}

}  // namespace

void declare_batch(py::module_& m) {
    common::def(m, "Speed_Fig(images, paths, Times, Space, output_dir)",
                "Writes the images, in order, as the video output_dir/X{Times}.mp4 (MPEG-4, 25 frames\n"
                "per second, the size of the first image), printing 'Start processing' once the\n"
                "video is open and 'Output complete!'. Give images or paths, not both: with paths\n"
                "only, they are printed and nothing is written. Space is not used. ValueError\n"
                "(before writing) for an image of another size; OSError naming the file when the\n"
                "video cannot be written whole (a full disk, a folder without write permission).",
                [](py::object images, py::object paths, py::object Times, py::object Space, py::object output_dir) {
                    (void)Space;
                    speed_fig(images, paths, Times, output_dir);
                });

    common::def(
        m, "Speed_Vdo(videos, paths, Times, Cliplist, output_dir, visualization=False)",
        "Writes every Times-th frame of the clips (GetFrameIndex2) of a recording, given as\n"
        "Video objects (videos) or file paths (paths), the other None, as the video\n"
        "output_dir/X{Times}.mp4 at the recording's frame rate; with visualization, also\n"
        "each frame as output_dir/Visualizaiton/{i}.jpg.",
        [m](py::object videos, py::object paths, py::object Times, py::object Cliplist, py::object output_dir,
            py::object visualization) { speed_vdo(m, videos, paths, Times, Cliplist, output_dir, visualization); });

    common::def(m, "Speed(path, videos, Times, Cliplist)",
                "Writes every Times-th frame of the clips (GetFrameIndex2) as the video X{Times}.mp4\n"
                "in the folder of the recording's first file, at its frame rate and size: played\n"
                "back it runs Times times faster. Prints 'start', and 'output' once the video is\n"
                "open. ValueError (before writing) for a frame of another size than the first\n"
                "file's; OSError naming the file when the video cannot be written whole.",
                [m](py::object path, py::object videos, py::object Times, py::object Cliplist) {
                    speed(m, path, videos, Times, Cliplist);
                });

    common::def(m, "GetCapture(path, videos, Times, Cliplist)",
                "Saves every Times-th frame of the clips (GetFrameIndex2) as the JPEG stills\n"
                "'t=0 s.jpg', 't={Times} s.jpg', ... in the subfolder Capture of the folder of the\n"
                "recording's first file (the number is the frame offset in the series).\n"
                "ValueError (before any is saved) for a frame of another size than the first\n"
                "file's; OSError naming the file that cannot be written.",
                [m](py::object path, py::object videos, py::object Times, py::object Cliplist) {
                    get_capture(m, path, videos, Times, Cliplist);
                });

    common::def(m, "CaptureCrop(pathlist, crop)",
                "Cuts rows crop[0]:crop[1] and columns crop[2]:crop[3] out of every image file and\n"
                "saves each block as a PNG of the same name in the subfolder 'Capture Crop' of its\n"
                "folder (made for the folder of the first image).",
                [m](py::object pathlist, py::object crop) { capture_crop(m, pathlist, crop); });

    common::def(m, "MakeDyImg(pathlist, loc, width, dir='x')",
                "Joins the band loc-width:loc+width of every image into one space-time image: rows\n"
                "stacked top to bottom (dir 'x') or columns side by side (dir 'y'), saved as\n"
                "Dyna-{dir}={loc},width={width},Num={count}.bmp in the folder of the first image.",
                [m](py::object pathlist, py::object loc, py::object width, py::object dir) {
                    make_dy_img(m, pathlist, loc, width, dir);
                });
}

}  // namespace orbisk
