// Opening a video writer, with a clear error when it cannot be opened.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <string>

namespace common {

// Opens `writer` for colour frames on `path`. When OpenCV cannot open it and
// `required` (there are frames to write), throws FileError naming the file:
// with the folder's reason when the folder is missing or not writable, else
// EINVAL naming the codec, frame rate and size OpenCV refused. Without
// `required` the writer is only tried (an empty output asks for nothing).
void open_video_writer(cv::VideoWriter& writer, const std::string& path, int fourcc, double fps, cv::Size size,
                       bool required = true);

}  // namespace common
