// The readers of frames of a multi-file recording into captures:
// GetFrameIndex (file by file), GetFrameIndex2 (clip by clip), IterFrames
// (GetFrameIndex2 one frame at a time), GetFrames_multi (one frame of a
// caller's capture) and ExtractFromVideos (a whole recording at a time
// interval).
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/frame_batch.hpp"
#include "common/frame_reader.hpp"
#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_ndarray.hpp"
#include "common/py_values.hpp"
#include "common/video_probe.hpp"
#include "tavelin/py_module.hpp"

namespace tavelin {

namespace {

// The frame a frame number names: fractional numbers are truncated, as
// OpenCV's seek truncates them.
int64_t frame_position(py::handle number, const char* name = "frame number") {
    return common::to_integer(number, name);
}

std::vector<int64_t> frame_positions(const py::list& numbers) {
    std::vector<int64_t> positions;
    positions.reserve(numbers.size());
    for (auto number : numbers) positions.push_back(frame_position(number));
    return positions;
}

// Frames of one file, read through the shared reader, which is opened when
// the first frame is needed; the file's first frame is read once. A file
// that cannot be opened (gone since its Video was made, a folder, not a
// video) is an OSError naming it, not a run of lost frames.
class FileFrames {
public:
    explicit FileFrames(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    std::vector<cv::Mat> read(const std::vector<int64_t>& positions) {
        common::FrameReader& file = reader();
        return common::core_call([&] { return common::read_frames(file, positions); });
    }

    // Frame `position`, empty when it cannot be read.
    cv::Mat read_one(int64_t position) {
        common::FrameReader& file = reader();
        return common::core_call([&] {
            cv::Mat frame;
            file.read(position, frame);
            return frame;
        });
    }

    // The file's first frame, or None when it cannot be read.
    py::object first_frame() {
        if (!first_frame_) {
            cv::Mat frame = read_one(0);
            first_frame_ = frame.empty() ? py::none() : py::object(common::to_array(std::move(frame)));
        }
        return *first_frame_;
    }

    // The frame size the file reports, for white stand-ins of lost frames.
    cv::Size frame_size() { return reader().frame_size(); }

private:
    common::FrameReader& reader() {
        if (!reader_)
            reader_ = common::core_call([&] {
                auto opened = std::make_unique<common::FrameReader>(path_);
                if (!opened->is_open())
                    common::throw_unreadable_video(path_, "cannot read the video: " + opened->open_error());
                return opened;
            });
        return *reader_;
    }

    std::string path_;
    std::unique_ptr<common::FrameReader> reader_;
    std::optional<py::object> first_frame_;
};

// The capture of frame `number` of `video`, stamped with the clock time of
// the frame: the file's start time advanced by number / FPS seconds.
py::object make_capture(const py::module_& m, py::handle clip_index, py::handle file_number, py::handle number,
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

// Throws ValueError naming the clip when its file numbers, counted from
// `first`, name no file of the `count` videos.
void check_clip_files(py::handle clip, size_t index, size_t count, long long first) {
    py::object start = clip.attr("start_i"), end = clip.attr("end_i");
    const py::int_ low(first), high(first + static_cast<long long>(count) - 1);
    for (const py::object& number : {start, end}) {
        if (!is_integral(number) || (number >= low && number <= high)) continue;
        throw py::value_error("clip " + std::to_string(index) + " (files " + std::string(py::repr(start)) + " to " +
                              std::string(py::repr(end)) + ") names file " + std::string(py::repr(number)) +
                              (count == 0 ? std::string(", but there are no videos")
                                          : ", but the " + std::to_string(count) + " videos are files " +
                                                std::to_string(first) + " to " +
                                                std::to_string(first + static_cast<long long>(count) - 1)));
    }
}

// Clips must be readable in one walk over the files: integer file numbers,
// a start not after the end, and each clip starting no earlier than the file
// in which the previous one ended. Checked before any file is opened.
void check_clip_order(const py::object& clips, size_t video_count) {
    py::object previous_end;
    size_t index = 0;
    for (auto clip : clips) {
        py::object start = clip.attr("start_i"), end = clip.attr("end_i");
        const std::string name = "clip " + std::to_string(index) + " (files " + std::string(py::repr(start)) + " to " +
                                 std::string(py::repr(end)) + ")";
        if (!is_integral(start) || !is_integral(end)) throw py::value_error(name + ": file numbers must be integers");
        if (start > end) throw py::value_error(name + " starts in a later file than it ends in");
        check_clip_files(clip, index, video_count, 1);
        if (previous_end && start < previous_end)
            throw py::value_error(name + " starts before file " + std::string(py::repr(previous_end)) +
                                  ", in which the previous clip ends; clips must be in recording order");
        previous_end = end;
        ++index;
    }
}

// Walks the files in order and the clips with them; file numbers count from 1.
py::tuple get_frame_index(const py::module_& m, const py::object& clips, const py::object& videos,
                          const py::object& space) {
    common::check_finite(space, "FrameSpace");
    check_clip_order(clips, py::len(videos));

    py::list frames, captures;
    const py::int_ zero(0);
    const size_t clip_count = py::len(clips);
    long long n = 0, file_number = 0;
    bool next_clip = false, next_video = false, over = false;
    for (auto video : videos) {
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
                window_captures.push_back(make_capture(m, py::int_(n), current, number, video, clip().attr("InjRate")));
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

// The frames of a clip list one at a time, clip by clip, each clip spread
// over the files with the module's GetIndex (file numbers count from 0): the
// walk of GetFrameIndex2, with its captures and printed lines. A lost frame
// becomes a white image of the size of the last frame read (or of the file's
// frame size before any frame was read). Only the file being read is open.
class ClipFrames {
public:
    ClipFrames(py::module_ m, py::object clips, py::object videos, py::object space)
        : m_(std::move(m)), videos_(std::move(videos)), space_(std::move(space)) {
        common::check_finite(space_, "FrameSpace");
        for (auto video : videos_) frame_counts_.append(video.attr("Frame_Count"));
        clips_ = py::iter(clips);
    }

    // The next (frame, capture) pair, or nothing at the end.
    std::optional<std::pair<py::object, py::object>> next() {
        const Running running(*this);
        while (frame_ >= numbers_.size()) {
            if (!next_file()) return std::nullopt;
        }
        const size_t k = frame_++;
        py::object number = numbers_[k];
        py::object capture =
            make_capture(m_, py::int_(clip_index_), file_index_, number, video_, clip_.attr("InjRate"));
        common::print(number);
        cv::Mat read = reader_->read_one(frame_position(number));
        if (!read.empty()) {
            py::object image = common::to_array(std::move(read));
            capture.attr("GetFrame")(image);
            record_frame_ = image;
            return std::make_pair(image, capture);
        }
        common::print(py::str("------------Lost one frame at No. " + std::to_string(k) + "/" +
                              std::to_string(numbers_.size()) + "-------------"));
        py::object blank;
        if (record_frame_) {
            blank = m_.attr("cv_GenImage")(record_frame_);
        } else {
            const cv::Size size = reader_->frame_size();
            blank = common::to_array(cv::Mat(size, CV_8UC3, cv::Scalar::all(255)));
        }
        return std::make_pair(blank, capture);
    }

    // Ends the walk early and closes the open file.
    void close() {
        const Running running(*this);
        reader_.reset();
        clips_ = py::iterator();
        files_ = numbers_ = py::list();
        frame_ = next_file_ = 0;
    }

private:
    // Marks the walk as running while a call is in it. The file is read with
    // the GIL released, so another thread could enter the walk meanwhile and
    // move or close the reader under it: refused, as Python refuses to run a
    // generator that is already executing. Set and tested with the GIL held.
    class Running {
    public:
        explicit Running(ClipFrames& walk) : walk_(walk) {
            if (walk_.running_) throw py::value_error("IterFrames is already running in another thread");
            walk_.running_ = true;
        }
        ~Running() { walk_.running_ = false; }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

    private:
        ClipFrames& walk_;
    };

    // Moves to the next file of the clip, or to the first file of the next
    // clip; false when there is none.
    bool next_file() {
        while (next_file_ >= py::len(files_)) {
            if (!clips_ || clips_ == py::iterator::sentinel()) return false;
            if (started_) ++clip_index_;
            clip_ = py::reinterpret_borrow<py::object>(*clips_);
            ++clips_;
            started_ = true;
            begin_clip();
        }
        file_index_ = files_[py::int_(next_file_)];
        py::object frame_list = frame_lists_[py::int_(next_file_)];
        ++next_file_;
        video_ = videos_[file_index_];
        numbers_ = py::list(frame_list);
        frame_ = 0;
        const std::string path = common::fs_path(video_.attr("path"));
        if (!reader_ || reader_->path() != path) {
            reader_.reset();  // the previous file is closed before the next one opens
            reader_ = std::make_unique<FileFrames>(path);
            reader_->frame_size();  // opens it: a file that cannot be read fails here
        }
        return true;
    }

    // The frames of clip_: GetIndex over the frame counts, which prints its table.
    void begin_clip() {
        check_clip_files(clip_, static_cast<size_t>(clip_index_), py::len(videos_), 0);
        const py::int_ sixty(60);
        py::object from = clip_.attr("start_i"), to = clip_.attr("end_i");
        // NaN or infinite times would give the frame selection bounds it cannot walk.
        const std::string clip_name = "Cliplist[" + std::to_string(clip_index_) + "].";
        for (const char* time : {"start_min", "start_sec", "end_min", "end_sec"})
            common::check_finite(clip_.attr(time), (clip_name + time).c_str());
        common::check_finite(videos_[from].attr("FPS"), ("Videos[" + std::string(py::repr(from)) + "].FPS").c_str());
        common::check_finite(videos_[to].attr("FPS"), ("Videos[" + std::string(py::repr(to)) + "].FPS").c_str());
        py::object index_from = py::object(videos_[from].attr("FPS")) *
                                (py::object(clip_.attr("start_min")) * sixty + py::object(clip_.attr("start_sec")));
        py::object index_to = py::object(videos_[to].attr("FPS")) *
                              (py::object(clip_.attr("end_min")) * sixty + py::object(clip_.attr("end_sec")));
        py::list span;
        for (const auto& value : {from, to, index_from, index_to}) span.append(value);

        py::object selection = m_.attr("GetIndex")(frame_counts_, span, space_);
        py::tuple pair = py::module_::import("builtins").attr("tuple")(selection);
        if (pair.size() != 2)
            throw py::value_error("GetIndex must return two values (file indices and frame lists), got " +
                                  std::to_string(pair.size()));
        files_ = py::list(pair[0]);
        frame_lists_ = pair[1];
        next_file_ = 0;
    }

    py::module_ m_;
    py::object videos_, space_;
    py::list frame_counts_;
    py::iterator clips_;
    bool started_ = false;
    long long clip_index_ = 0;
    py::object clip_;
    py::list files_;          // the clip's file indices
    py::object frame_lists_;  // and their frame lists
    size_t next_file_ = 0;    // position in files_ of the next file
    py::object file_index_, video_;
    py::list numbers_;  // the frame numbers of the current file
    size_t frame_ = 0;  // position in numbers_ of the next frame
    std::unique_ptr<FileFrames> reader_;
    py::object record_frame_;  // the last frame read in this walk
    bool running_ = false;     // a call is in the walk (see Running)
};

// GetFrames_multi: one frame of the caller's open capture.
//
// Near frames ahead of the capture are read from it, decoding forward, which
// is exact as long as the capture was only ever read forward. Any other
// frame (behind it, or beyond kForwardFrames ahead, where OpenCV's own seek
// lands on the wrong frame of an MPEG-TS file or fails outright on a long
// GOP) comes from the exact frame reader of the file, and the capture is
// then moved after it: grabbed forward when near, else by OpenCV's seek. A
// capture moved by OpenCV's seek no longer knows exactly where it is, so
// its frames are taken from the exact reader from then on (it is only
// kept moving along).
constexpr long long kForwardFrames = 64;

// The exact readers of the files GetFrames_multi was asked about lately.
class RecentReaders {
public:
    struct Entry {
        std::string path;
        std::mutex busy;  // one read at a time (the GIL is released while reading)
        common::FrameReader reader;
        explicit Entry(const std::string& p) : path(p), reader(p) {}
    };

    std::shared_ptr<Entry> of(const std::string& path) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if ((*it)->path != path) continue;
            std::shared_ptr<Entry> found = *it;
            entries_.erase(it);
            entries_.insert(entries_.begin(), found);
            return found;
        }
        auto entry = common::core_call([&] { return std::make_shared<Entry>(path); });
        entries_.insert(entries_.begin(), entry);
        if (entries_.size() > kKept) entries_.pop_back();
        return entry;
    }

private:
    static constexpr size_t kKept = 4;
    std::vector<std::shared_ptr<Entry>> entries_;  // most recent first; guarded by the GIL
};

RecentReaders& recent_readers() {
    static auto* readers = new RecentReaders;  // lives as long as the process: readers may run at exit
    return *readers;
}

// Captures whose position OpenCV's seek set (by address: a new capture that
// reuses one only loses the shortcut, never exactness). Guarded by the GIL.
std::unordered_set<const PyObject*>& seeked_captures() {
    static auto* captures = new std::unordered_set<const PyObject*>;
    return *captures;
}

py::object exact_frame(const std::string& path, long long target) {
    std::shared_ptr<RecentReaders::Entry> entry = recent_readers().of(path);
    cv::Mat frame = common::core_call([&] {
        std::lock_guard<std::mutex> lock(entry->busy);
        cv::Mat image;
        entry->reader.read(target, image);
        return image;
    });
    if (frame.empty()) return py::none();
    return common::to_array(std::move(frame));
}

py::tuple get_frames_multi(const py::module_& m, const py::object& capture_object, const py::object& video,
                           const py::object& number, const py::object& n, const py::object& ivideo,
                           const py::object& clips) {
    const long long target = std::max<long long>(0, frame_position(number, "FramesIndex"));
    py::object capture = make_capture(m, n, ivideo, number, video, py::object(clips[n]).attr("InjRate"));

    py::module_ cv2 = py::module_::import("cv2");
    // Never below 0, so that target - next cannot overflow.
    const long long next =
        std::max<long long>(0, frame_position(capture_object.attr("get")(cv2.attr("CAP_PROP_POS_FRAMES"))));
    const std::string path = common::fs_path(video.attr("path"));
    auto& seeked = seeked_captures();
    const bool exact_position = seeked.count(capture_object.ptr()) == 0;
    auto grab_to = [&](long long from) {
        for (long long k = from; k < target; ++k)
            if (!common::is_true(capture_object.attr("grab")())) break;
    };

    py::object frame;
    if (target < next && target < kForwardFrames) {
        // Near the start: the capture reopened is exact again.
        capture_object.attr("open")(common::fs_str(path));
        seeked.erase(capture_object.ptr());
        grab_to(0);
        frame = py::tuple(capture_object.attr("read")())[1];
    } else if (target >= next && target - next <= kForwardFrames && exact_position) {
        grab_to(next);
        frame = py::tuple(capture_object.attr("read")())[1];
    } else {
        frame = exact_frame(path, target);
        if (target >= next && target - next <= kForwardFrames) {
            grab_to(next);
            capture_object.attr("grab")();
        } else {
            capture_object.attr("set")(cv2.attr("CAP_PROP_POS_FRAMES"), static_cast<double>(target) + 1);
            seeked.insert(capture_object.ptr());
        }
    }
    capture.attr("frame") = frame;
    return py::make_tuple(frame, capture);
}

py::object extract_from_videos(const py::module_& m, const py::object& given, const py::object& time_space,
                               const py::object& sm, const py::object& ss, const py::object& em, const py::object& es) {
    if (py::len(given) == 0) return py::bool_(false);
    py::object path_like = py::module_::import("os").attr("PathLike");
    py::list videos;
    for (auto item : given) {
        const bool is_path = py::isinstance<py::str>(item) || py::isinstance(item, path_like);
        videos.append(is_path ? m.attr("Video")(item) : py::reinterpret_borrow<py::object>(item));
    }
    common::check_finite(time_space, "TimeSpace");
    py::object fps = py::object(videos[0]).attr("FPS");
    if (fps.equal(py::int_(0))) {
        // No frame rate: the step would be 0 frames. Named when the file cannot be read.
        const std::string first = common::fs_path(py::object(videos[0]).attr("path"));
        common::core_call([&] {
            if (common::probe_video(first).size.empty())
                common::throw_unreadable_video(first, "cannot read the video that gives the frame rate");
        });
    }
    py::object frame_space = time_space * fps;
    py::list clips;
    clips.append(m.attr("Clip")(sm, ss, 1, em, es, py::len(videos), 0));
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
                "None. A clip with integer file numbers out of order, or naming a file beyond\n"
                "Videos, raises ValueError; a file that cannot be opened (gone, not a video)\n"
                "raises OSError naming it.",
                [m](py::object Cliplist, py::object Videos, py::object FrameSpace) {
                    return get_frame_index(m, Cliplist, Videos, FrameSpace);
                });

    common::def(m, "GetFrameIndex2(Cliplist, Videos, FrameSpace)",
                "Reads the frames of the clips of a multi-file recording at the step FrameSpace,\n"
                "clip by clip, the frames of each clip counted across its files by GetIndex.\n\n"
                "File numbers count from 0. Returns (Frames, Captures), two parallel lists with\n"
                "one entry per listed frame; prints each frame number, and for a frame that\n"
                "cannot be read a '------------Lost one frame at No. k/n-------------' line,\n"
                "a white image in Frames and a capture without frame. A clip naming a file beyond\n"
                "Videos raises ValueError, a file that cannot be opened OSError naming it.\n"
                "IterFrames gives the same one frame at a time.",
                [m](py::object Cliplist, py::object Videos, py::object FrameSpace) {
                    py::list frames, captures;
                    ClipFrames walk(m, Cliplist, Videos, FrameSpace);
                    while (auto pair = walk.next()) {
                        frames.append(pair->first);
                        captures.append(pair->second);
                    }
                    return py::make_tuple(frames, captures);
                });

    py::class_<ClipFrames>(m, "_ClipFrames", "The frames of IterFrames, one (frame, capture) pair at a time.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__",
             [](ClipFrames& walk) {
                 auto pair = walk.next();
                 if (!pair) throw py::stop_iteration();
                 return py::make_tuple(pair->first, pair->second);
             })
        .def("close", &ClipFrames::close, "Stops the walk and closes the file being read.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](ClipFrames& walk, py::args) { walk.close(); });

    common::def(m, "IterFrames(Cliplist, Videos, FrameSpace)",
                "The (frame, capture) pairs of GetFrameIndex2(Cliplist, Videos, FrameSpace), one at\n"
                "a time and in the same order, with the same captures and printed lines, holding\n"
                "only the current frame: for long recordings. The files are read as the iterator\n"
                "is consumed; close() (or leaving a with block, or dropping the iterator) closes\n"
                "the file being read.",
                [m](py::object Cliplist, py::object Videos, py::object FrameSpace) {
                    return py::cast(ClipFrames(m, Cliplist, Videos, FrameSpace));
                });

    common::def(
        m, "GetFrames_multi(_Video, video, FramesIndex, n, ivideo, Cliplist)",
        "Reads frame FramesIndex of the caller's open cv2.VideoCapture _Video on the file\n"
        "of video, and returns (frame, capture) with the Capture of clip n and file\n"
        "ivideo (frame None when the read fails). _Video stays open, positioned after\n"
        "the frame; near frames are read from it forward, others exactly from the file.",
        [m](py::object _Video, py::object video, py::object FramesIndex, py::object n, py::object ivideo,
            py::object Cliplist) { return get_frames_multi(m, _Video, video, FramesIndex, n, ivideo, Cliplist); });

    common::def(m, "ExtractFromVideos(Videos, TimeSpace=0, Sm=0, Ss=0, Em=0, Es=0)",
                "The frames of a whole recording every TimeSpace seconds, from Sm:Ss of the first\n"
                "file to Em:Es of the last (0:00 as an end means its last frame). Videos holds\n"
                "Video objects or file paths. Returns the frame list, or False for no files.",
                [m](py::object Videos, py::object TimeSpace, py::object Sm, py::object Ss, py::object Em,
                    py::object Es) { return extract_from_videos(m, Videos, TimeSpace, Sm, Ss, Em, Es); });
}

}  // namespace tavelin
