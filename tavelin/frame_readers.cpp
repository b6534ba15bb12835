// The readers of frames of a multi-file recording into captures:
// GetFrameIndex (file by file), GetFrameIndex2 (clip by clip), GetFrames_multi
// (one frame of a caller's capture) and ExtractFromVideos (a whole recording
// at a time interval).
#include <cmath>
#include <map>
#include <optional>
#include <string>

#include "common/binding.hpp"
#include "common/frame_batch.hpp"
#include "common/frame_reader.hpp"
#include "common/ndarray.hpp"
#include "common/pyvalues.hpp"
#include "tavelin/declarations.hpp"

namespace tavelin {

using common::Args;

namespace {

// The frame a frame number names: fractional numbers are truncated, as
// OpenCV's seek truncates them.
int64_t frame_position(py::handle number) { return common::to_int(number).cast<long long>(); }

std::vector<int64_t> frame_positions(const py::list& numbers) {
    std::vector<int64_t> positions;
    positions.reserve(numbers.size());
    for (auto number : numbers) positions.push_back(frame_position(number));
    return positions;
}

// Frames of one file, read through the shared reader, which is opened when
// the first frame is needed; the file's first frame is read once.
class FileFrames {
public:
    explicit FileFrames(std::string path) : path_(std::move(path)) {}

    std::vector<cv::Mat> read(const std::vector<int64_t>& positions) { return common::read_frames(reader(), positions); }

    // The file's first frame, or None when it cannot be read.
    py::object first_frame() {
        if (!first_frame_) {
            std::vector<cv::Mat> frames = read({0});
            first_frame_ = frames[0].empty() ? py::none() : py::object(common::to_array(std::move(frames[0])));
        }
        return *first_frame_;
    }

    // The frame size the file reports, for white stand-ins of lost frames.
    cv::Size frame_size() { return reader().frame_size(); }

private:
    common::FrameReader& reader() {
        if (!reader_) {
            py::gil_scoped_release unlocked;
            reader_.emplace(path_);
        }
        return *reader_;
    }

    std::string path_;
    std::optional<common::FrameReader> reader_;
    std::optional<py::object> first_frame_;
};

// The capture of frame `number` of `video`, stamped with the clock time of
// the frame: the file's start time advanced by number / FPS seconds.
py::object make_capture(py::module_& m, py::handle clip_index, py::handle file_number, py::handle number,
                        py::handle video, py::handle injection_rate) {
    py::object offset = common::truediv(number, video.attr("FPS"));
    py::object time = m.attr("TimeCal")(video.attr("start_time"), offset);
    return m.attr("Capture")(clip_index, file_number, number, time, injection_rate);
}

bool is_integral(py::handle value) {
    if (PyIndex_Check(value.ptr()) && !PyFloat_Check(value.ptr())) return true;
    if (!PyFloat_Check(value.ptr())) return false;
    const double real = value.cast<double>();
    return std::isfinite(real) && std::floor(real) == real;
}

// Clips must be readable in one walk over the files: integer file numbers,
// a start not after the end, and each clip starting no earlier than the file
// in which the previous one ended. Checked before any file is opened.
void check_clip_order(const py::object& clips) {
    py::object previous_end;
    size_t index = 0;
    for (auto clip : clips) {
        py::object start = clip.attr("start_i"), end = clip.attr("end_i");
        const std::string name = "clip " + std::to_string(index) + " (files " + std::string(py::repr(start)) +
                                 " to " + std::string(py::repr(end)) + ")";
        if (!is_integral(start) || !is_integral(end))
            throw py::value_error(name + ": file numbers must be integers");
        if (start > end) throw py::value_error(name + " starts in a later file than it ends in");
        if (previous_end && start < previous_end)
            throw py::value_error(name + " starts before file " + std::string(py::repr(previous_end)) +
                                  ", in which the previous clip ends; clips must be in recording order");
        previous_end = end;
        ++index;
    }
}

// Walks the files in order and the clips with them; file numbers count from 1.
py::object get_frame_index(py::module_& m, Args& a) {
    const py::object& clips = a[0];
    const py::object& space = a[2];
    check_clip_order(clips);

    py::list frames, captures;
    const py::int_ zero(0);
    size_t clip_count = py::len(clips);
    long long n = 0, file_number = 0;
    bool next_clip = false, next_video = false, over = false;
    for (auto video : a[1]) {
        ++file_number;
        const py::int_ current(file_number);
        FileFrames file(common::fs_path(video.attr("path")));
        for (;;) {
            auto clip = [&] { return py::object(clips[py::int_(n)]); };
            py::object start = clip().attr("start_i"), end = clip().attr("end_i");
            if ((start < current && end < current) || (start > current && end > current)) break;

            py::object sm = zero, ss = zero, em = zero, es = zero;
            if (start.equal(end)) {  // the clip lies inside this file
                sm = clip().attr("start_min"), ss = clip().attr("start_sec");
                em = clip().attr("end_min"), es = clip().attr("end_sec");
                next_clip = true;
            } else if (start.equal(current)) {  // starts here, goes on
                sm = clip().attr("start_min"), ss = clip().attr("start_sec");
                next_video = true;
            } else if (end.equal(current)) {  // ends here
                em = clip().attr("end_min"), es = clip().attr("end_sec");
                next_clip = true;
            } else {  // the whole file lies inside the clip
                next_video = true;
            }

            py::list numbers = video.attr("GetCaptures")(space, py::arg("Sm") = sm, py::arg("Ss") = ss,
                                                         py::arg("Em") = em, py::arg("Es") = es);
            py::object filler = file.first_frame();
            std::vector<py::object> window_captures;
            for (auto number : numbers)
                window_captures.push_back(
                    make_capture(m, py::int_(n), current, number, video, clip().attr("InjRate")));
            std::vector<cv::Mat> read = file.read(frame_positions(numbers));

            // Frames read stay packed at the front; lost ones leave a filler
            // frame and None at the end of the window.
            py::list window_frames, window_caps;
            for (size_t k = 0; k < read.size(); ++k) {
                window_frames.append(filler);
                window_caps.append(py::none());
            }
            size_t packed = 0;
            for (size_t k = 0; k < read.size(); ++k) {
                if (read[k].empty()) {
                    common::print(numbers[k]);
                    continue;
                }
                py::object image = common::to_array(std::move(read[k]));
                window_captures[k].attr("frame") = image;
                window_frames[packed] = image;
                window_caps[packed] = window_captures[k];
                ++packed;
            }
            for (auto item : window_frames) frames.append(item);
            for (auto item : window_caps) captures.append(item);

            if (next_video) {
                next_video = false;
                break;
            }
            if (next_clip) {
                next_clip = false;
                if (static_cast<size_t>(++n) == clip_count) {
                    over = true;
                    break;
                }
            }
        }
        if (over) break;
    }
    return py::make_tuple(frames, captures);
}

// Reads clip by clip, spreading each clip over the files with GetIndex; file
// numbers count from 0. A lost frame becomes a white image of the size of the
// last frame read (or of the file's frame size before any frame was read).
py::object get_frame_index2(py::module_& m, Args& a) {
    const py::object& clips = a[0];
    const py::object& videos = a[1];
    const py::object& space = a[2];
    const py::int_ sixty(60);

    py::list frames, captures, frame_counts;
    for (auto video : videos) frame_counts.append(video.attr("Frame_Count"));
    py::object record_frame;  // the last frame read in this call

    // A file that several clips visit is opened once: its reader reaches
    // frames before or after the last one read as exactly.
    std::map<std::string, FileFrames> opened;
    long long clip_index = 0;
    for (auto c : clips) {
        py::object from = c.attr("start_i"), to = c.attr("end_i");
        py::object index_from = py::object(videos[from].attr("FPS")) *
                                (py::object(c.attr("start_min")) * sixty + py::object(c.attr("start_sec")));
        py::object index_to = py::object(videos[to].attr("FPS")) *
                              (py::object(c.attr("end_min")) * sixty + py::object(c.attr("end_sec")));
        py::list span;
        for (const auto& value : {from, to, index_from, index_to}) span.append(value);

        py::object selection = m.attr("GetIndex")(frame_counts, span, space);
        py::tuple pair = py::module_::import("builtins").attr("tuple")(selection);
        if (pair.size() != 2)
            throw py::value_error("GetIndex must return two values (file indices and frame lists), got " +
                                  std::to_string(pair.size()));
        py::object file_indices = pair[0], frame_lists = pair[1];

        py::list clip_frames, clip_captures;
        const size_t files = py::len(file_indices);
        for (size_t i = 0; i < files; ++i) {
            py::object file_index = file_indices[py::int_(i)];
            py::object vdo = videos[file_index];
            py::list numbers = py::list(frame_lists[py::int_(i)]);
            const std::string path = common::fs_path(vdo.attr("path"));
            FileFrames& file = opened.try_emplace(path, path).first->second;

            std::vector<py::object> file_captures;
            for (auto number : numbers)
                file_captures.push_back(make_capture(m, py::int_(clip_index), file_index, number, vdo, c.attr("InjRate")));
            std::vector<cv::Mat> read = file.read(frame_positions(numbers));

            for (size_t k = 0; k < read.size(); ++k) {
                common::print(numbers[k]);
                if (!read[k].empty()) {
                    py::object image = common::to_array(std::move(read[k]));
                    clip_frames.append(image);
                    file_captures[k].attr("GetFrame")(image);
                    record_frame = image;
                } else {
                    common::print(py::str("------------Lost one frame at No. " + std::to_string(k) + "/" +
                                          std::to_string(read.size()) + "-------------"));
                    if (record_frame) {
                        clip_frames.append(m.attr("cv_GenImage")(record_frame));
                    } else {
                        const cv::Size size = file.frame_size();
                        clip_frames.append(common::to_array(cv::Mat(size, CV_8UC3, cv::Scalar::all(255))));
                    }
                }
                clip_captures.append(file_captures[k]);
            }
        }
        for (auto item : clip_frames) frames.append(item);
        for (auto item : clip_captures) captures.append(item);
        ++clip_index;
    }
    return py::make_tuple(frames, captures);
}

// How far ahead GetFrames_multi decodes forward instead of asking OpenCV to
// seek. OpenCV's seek lands on the wrong frame for targets inside the first
// group of pictures of an H.264 MPEG-TS file, so targets that near the start
// are always reached by decoding from the start.
constexpr long long kForwardFrames = 64;

// Reads one frame of the caller's open capture and makes its capture record.
py::object get_frames_multi(py::module_& m, Args& a) {
    const py::object& capture_object = a[0];
    const py::object& video = a[1];
    const py::object& number = a[2];
    py::object capture = make_capture(m, a[3], a[4], number, video, py::object(a[5][a[3]]).attr("InjRate"));

    py::module_ cv2 = py::module_::import("cv2");
    const long long target = std::max<long long>(0, frame_position(number));
    const long long next = frame_position(capture_object.attr("get")(cv2.attr("CAP_PROP_POS_FRAMES")));
    if (target < next && target < kForwardFrames) {
        capture_object.attr("open")(common::fs_str(common::fs_path(video.attr("path"))));
        for (long long k = 0; k < target; ++k)
            if (!common::is_true(capture_object.attr("grab")())) break;
    } else if (target >= next && (target - next <= kForwardFrames || target < kForwardFrames)) {
        for (long long k = next; k < target; ++k)
            if (!common::is_true(capture_object.attr("grab")())) break;
    } else {
        capture_object.attr("set")(cv2.attr("CAP_PROP_POS_FRAMES"), number);
    }
    py::tuple result = capture_object.attr("read")();
    py::object frame = result[1];
    capture.attr("frame") = frame;
    return py::make_tuple(frame, capture);
}

py::object extract_from_videos(py::module_& m, Args& a) {
    const py::object& given = a[0];
    if (py::len(given) == 0) return py::bool_(false);
    py::object path_like = py::module_::import("os").attr("PathLike");
    py::list videos;
    for (auto item : given) {
        const bool is_path = py::isinstance<py::str>(item) || py::isinstance(item, path_like);
        videos.append(is_path ? m.attr("Video")(item) : py::reinterpret_borrow<py::object>(item));
    }
    py::object fps = py::object(videos[0]).attr("FPS");
    py::object frame_space = a[1] * fps;
    py::list clips;
    clips.append(m.attr("Clip")(a[2], a[3], 1, a[4], a[5], py::len(videos), 0));
    py::tuple result = m.attr("GetFrameIndex")(clips, videos, frame_space);
    return result[0];
}

}  // namespace

void declare_frame_readers(py::module_& m) {
    common::def(m, "GetFrameIndex(Cliplist, Videos, FrameSpace)",
                "Reads the frames of the clips of a multi-file recording at the step FrameSpace.\n\n"
                "Cliplist holds Clip objects in recording order, their file numbers counted from 1\n"
                "(the first of Videos is file 1); Videos holds the Video objects of the files.\n"
                "Returns (Frames, Captures), two parallel lists: per window of a clip in a file,\n"
                "the frames read with their Capture (clip index from 0, file number, frame\n"
                "number, clock time TimeCal(start_time, frame / FPS), InjRate), then for each\n"
                "frame that could not be read (its number is printed) the file's first frame and\n"
                "None. A clip with integer file numbers out of order raises ValueError.",
                [m](Args& a) mutable { return get_frame_index(m, a); });

    common::def(m, "GetFrameIndex2(Cliplist, Videos, FrameSpace)",
                "Reads the frames of the clips of a multi-file recording at the step FrameSpace,\n"
                "clip by clip, the frames of each clip counted across its files by GetIndex.\n\n"
                "File numbers count from 0. Returns (Frames, Captures), two parallel lists with\n"
                "one entry per listed frame; prints each frame number, and for a frame that\n"
                "cannot be read a '------------Lost one frame at No. k/n-------------' line,\n"
                "a white image in Frames and a capture without frame.",
                [m](Args& a) mutable { return get_frame_index2(m, a); });

    common::def(m, "GetFrames_multi(_Video, video, FramesIndex, n, ivideo, Cliplist)",
                "Reads frame FramesIndex of the caller's open cv2.VideoCapture _Video on the file\n"
                "of video, and returns (frame, capture) with the Capture of clip n and file\n"
                "ivideo (frame None when the read fails). _Video stays open, positioned after\n"
                "the frame; near frames are reached by decoding forward.",
                [m](Args& a) mutable { return get_frames_multi(m, a); });

    common::def(m, "ExtractFromVideos(Videos, TimeSpace=0, Sm=0, Ss=0, Em=0, Es=0)",
                "The frames of a whole recording every TimeSpace seconds, from Sm:Ss of the first\n"
                "file to Em:Es of the last (0:00 as an end means its last frame). Videos holds\n"
                "Video objects or file paths. Returns the frame list, or False for no files.",
                [m](Args& a) mutable { return extract_from_videos(m, a); });
}

}  // namespace tavelin
