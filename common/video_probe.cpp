#include "common/video_probe.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <opencv2/videoio.hpp>

#include "common/errors.hpp"

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

void throw_unreadable_video(const std::string& path, const std::string& why) {
    struct stat info {};
    int error = 0;
    if (::stat(path.c_str(), &info) != 0)
        error = errno;
    else if (S_ISDIR(info.st_mode))
        error = EISDIR;
    if (error) throw FileError(error, path, why + ": " + std::strerror(error));
    throw FileError(EINVAL, path, why);
}

}  // namespace common
