// What OpenCV's capture reports about a video file, with the frame count a
// forward read really delivers.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace common {

struct VideoInfo {
    double fps = 0;
    cv::Size size;
    long long frame_count = 0;  // counted_frames()
};

// The number of frames cv::VideoCapture(path).read() delivers, counted from
// the packet index when the frame reader can count it; otherwise
// `estimate` (OpenCV's CAP_PROP_FRAME_COUNT, which it derives from the
// container's duration, audio included, and so often overstates).
long long counted_frames(const std::string& path, long long estimate);

// The frame rate and frame size of the video at `path`, as cv::VideoCapture
// reports them, and its frame count as counted_frames() gives it; all zero
// when it cannot be opened.
VideoInfo probe_video(const std::string& path);

// Throws FileError naming the video at `path`, which cannot be read: with the
// file's own errno when it cannot be reached (gone, a folder, no permission),
// else EINVAL with `why` ("cannot read the video: ...").
[[noreturn]] void throw_unreadable_video(const std::string& path, const std::string& why);

}  // namespace common
