// What OpenCV's capture reports about a video file.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace common {

struct VideoInfo {
    double fps = 0;
    cv::Size size;
    long long frame_count = 0;  // CAP_PROP_FRAME_COUNT, truncated
};

// The frame rate, frame size and frame count of the video at `path`, as
// cv::VideoCapture reports them; all zero when it cannot be opened.
VideoInfo probe_video(const std::string& path);

}  // namespace common
