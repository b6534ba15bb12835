// Opening a video writer that is known to work.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <string>

namespace common {

// A colour cv::VideoWriter on `path`, opened; throws FileError naming the file
// when OpenCV cannot open it (with the reason the file system gives, when it
// gives one: a missing folder, no permission).
cv::VideoWriter open_video_writer(const std::string& path, int fourcc, double fps, cv::Size size);

}  // namespace common
