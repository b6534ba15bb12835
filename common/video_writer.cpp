#include "common/video_writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

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

}  // namespace

void open_video_writer(cv::VideoWriter& writer, const std::string& path, int fourcc, double fps, cv::Size size,
                       bool required) {
    if (writer.open(path, fourcc, fps, size, true) || !required) return;
    if (const int error = folder_error(path)) throw FileError(error, path);
    throw FileError(EINVAL, path,
                    "OpenCV cannot write a video with FourCC '" + fourcc_text(fourcc) + "' at " + cv::format("%g", fps) +
                        " fps and " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                        " frames to this file");
}

}  // namespace common
