#include "common/video_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/errors.hpp"

namespace common {

cv::VideoWriter open_video_writer(const std::string& path, int fourcc, double fps, cv::Size size) {
    cv::VideoWriter writer(path, fourcc, fps, size, true);
    if (writer.isOpened()) return writer;
    // OpenCV does not say why; the file system may.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) throw FileError(errno, path);
    ::close(fd);
    char code[5] = {char(fourcc & 255), char((fourcc >> 8) & 255), char((fourcc >> 16) & 255), char((fourcc >> 24) & 255), 0};
    throw FileError(EIO, path, std::string("OpenCV cannot write a video with the codec '") + code + "' at " +
                                   std::to_string(size.width) + "x" + std::to_string(size.height) + " and " +
                                   std::to_string(fps) + " frames per second to this file");
}

}  // namespace common
