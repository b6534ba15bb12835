// Writing video files: opening a writer with a clear error when it cannot be
// opened, checking every frame before OpenCV's writer sees it (it drops a
// frame of another size or kind without a word), and checking the finished
// file (OpenCV's writer does not report a failed write either: on a full disk
// it leaves a file with fewer frames, or none that can be read).
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <cstddef>
#include <string>

namespace common {

// MPEG-4 part 2, the codec of every .mp4 the toolkit writes.
inline const int kMp4vFourcc = cv::VideoWriter::fourcc('m', 'p', '4', 'v');

// Opens `writer` for colour frames on `path`. When OpenCV cannot open it and
// `required` (there are frames to write), throws FileError naming the file:
// with the folder's reason when the folder is missing or not writable,
// ENOSPC when its file system is full, else EINVAL naming the codec, frame
// rate and size OpenCV refused. Without
// `required` the writer is only tried (an empty output asks for nothing).
void open_video_writer(cv::VideoWriter& writer, const std::string& path, int fourcc, double fps, cv::Size size,
                       bool required = true);

// Throws FileError naming `path` unless the finished video at `path` can be
// opened and holds `frames` frames: ENOSPC when the file system holding it is
// (nearly) full, the reason when the file is gone, else EIO.
void check_written_video(const std::string& path, size_t frames);

// Throws std::invalid_argument unless `frame` is an 8-bit BGR image of
// `size`. `what` names the frame in the message ("frame 3 of the list").
void check_frame(const cv::Mat& frame, cv::Size size, const std::string& what);

// A video file being written, closed when it ends (on every path: after an
// error or Ctrl-C the frames written so far stay a playable video).
class VideoOutput {
public:
    // Opens the writer as open_video_writer does.
    VideoOutput(const std::string& path, int fourcc, double fps, cv::Size size, bool required = true);
    ~VideoOutput();
    VideoOutput(const VideoOutput&) = delete;
    VideoOutput& operator=(const VideoOutput&) = delete;

    bool is_open() const { return writer_.isOpened(); }
    cv::Size size() const { return size_; }
    size_t frames_written() const { return written_; }

    // Checks the frame (check_frame, `what` naming it) and writes it.
    void write(const cv::Mat& frame, const std::string& what);

    // Finishes the file and checks it: throws FileError naming the file when
    // it cannot be read back with every frame written (ENOSPC when its file
    // system is full, EIO otherwise). Once closed, later calls do nothing.
    void close();

private:
    cv::VideoWriter writer_;
    std::string path_;
    cv::Size size_;
    size_t written_ = 0;
};

}  // namespace common
