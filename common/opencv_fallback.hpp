// Frames through cv::VideoCapture (any backend), for files FFmpeg's
// libraries cannot open: near frames are grabbed forward, far ones reached
// by OpenCV's own seek.  Exact only where OpenCV's seek is.
#pragma once

#include <opencv2/videoio.hpp>

#include <cstdint>
#include <string>

namespace common {

class OpenCVFallback {
public:
    // False (and why in `error`) when OpenCV cannot open the file either.
    bool open(const std::string& path, std::string& error);
    bool is_open() const { return capture_.isOpened(); }
    cv::Size frame_size() const;

    // Grabs frame `index`, decoding forward when it lies at most
    // `forward_limit` frames ahead; `seeks` counts OpenCV seeks.
    bool grab(int64_t index, int64_t forward_limit, int64_t& seeks);
    bool retrieve(cv::Mat& out);

private:
    cv::VideoCapture capture_;
    int64_t next_ = 0;  // index of the frame the next grab() returns
};

}  // namespace common
