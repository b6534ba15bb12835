#include "common/video_writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "common/errors.hpp"

namespace common {

namespace {

std::string fourcc_text(int fourcc) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
    return text;
}

// Why a file cannot be created at `path`, as an errno value (0: the folder
// gives no reason).
int folder_error(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty()) folder = ".";
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return errno;
    if (!S_ISDIR(info.st_mode)) return ENOTDIR;
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return errno;
    return 0;
}

std::string size_text(cv::Size size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

}  // namespace

void open_video_writer(cv::VideoWriter& writer, const std::string& path, int fourcc, double fps, cv::Size size,
                       bool required) {
    if (writer.open(path, fourcc, fps, size, true) || !required) return;
    if (const int error = folder_error(path)) throw FileError(error, path);
    throw FileError(EINVAL, path,
                    "OpenCV cannot write a video with FourCC '" + fourcc_text(fourcc) + "' at " +
                        cv::format("%g", fps) + " fps and " + size_text(size) + " frames to this file");
}

void check_frame(const cv::Mat& frame, cv::Size size, const std::string& what) {
    if (frame.depth() != CV_8U || frame.channels() != 3)
        throw std::invalid_argument(what + " is not an 8-bit BGR image (" + std::to_string(frame.channels()) +
                                    " channels of type " + cv::typeToString(frame.depth()) +
                                    "); the video takes 8-bit colour frames");
    if (frame.size() != size)
        throw std::invalid_argument(what + " is " + size_text(frame.size()) + "; the video's frames are " +
                                    size_text(size));
}

VideoOutput::VideoOutput(const std::string& path, int fourcc, double fps, cv::Size size, bool required)
    : path_(path), size_(size) {
    open_video_writer(writer_, path, fourcc, fps, size, required);
}

VideoOutput::~VideoOutput() { writer_.release(); }

void VideoOutput::write(const cv::Mat& frame, const std::string& what) {
    check_frame(frame, size_, what);
    writer_.write(frame);
    ++written_;
}

void VideoOutput::close() { writer_.release(); }

}  // namespace common
