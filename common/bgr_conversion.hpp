// Decoded frames to BGR images, pixel for pixel as OpenCV 4.6's FFmpeg
// backend converts them (cap_ffmpeg_impl.hpp, retrieveFrame()).
#pragma once

#include <opencv2/core.hpp>

#include "common/ffmpeg_handles.hpp"

namespace common {

class BgrConverter {
public:
    // `frame` as a BGR CV_8UC3 image of `width` x `height` (the decoder's
    // picture size; `coded_width` x `coded_height` is the size OpenCV
    // converts), turned clockwise by `rotation` degrees (0, 90, 180, 270).
    // False when the frame holds no picture or the conversion cannot be set up.
    bool convert(const AVFrame* frame, int width, int height, int coded_width, int coded_height, int rotation,
                 cv::Mat& out);

private:
    SwsPtr context_;
    FramePtr buffer_{av_frame_alloc()};  // the BGR picture at coded size, as OpenCV allocates it
    int width_ = 0, height_ = 0, coded_width_ = 0, coded_height_ = 0;
};

}  // namespace common
