#include "common/video_probe.hpp"

#include <opencv2/videoio.hpp>

namespace common {

VideoInfo probe_video(const std::string& path) {
    cv::VideoCapture capture(path);
    VideoInfo info;
    if (!capture.isOpened()) return info;
    info.fps = capture.get(cv::CAP_PROP_FPS);
    info.size = {static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
                 static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT))};
    info.frame_count = static_cast<long long>(capture.get(cv::CAP_PROP_FRAME_COUNT));
    return info;
}

}  // namespace common
