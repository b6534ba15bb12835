#include "common/video_probe.hpp"

#include <opencv2/videoio.hpp>

#include "common/frame_reader.hpp"

namespace common {

long long counted_frames(const std::string& path, long long estimate) {
    FrameReader reader(path);
    if (reader.mode() == FrameReader::Mode::Indexed) return reader.frame_count();
    return estimate;
}

VideoInfo probe_video(const std::string& path) {
    cv::VideoCapture capture(path);
    VideoInfo info;
    if (!capture.isOpened()) return info;
    info.fps = capture.get(cv::CAP_PROP_FPS);
    info.size = {static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH)),
                 static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT))};
    info.frame_count = counted_frames(path, static_cast<long long>(capture.get(cv::CAP_PROP_FRAME_COUNT)));
    return info;
}

}  // namespace common
