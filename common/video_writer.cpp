#include "common/video_writer.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "common/errors.hpp"
#include "common/frame_reader.hpp"

namespace common {

namespace {

std::string fourcc_text(int fourcc) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
    return text;
}

std::filesystem::path folder_of(const std::string& path) {
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

// Less free space than this on the output's file system counts as full: a
// writer that stopped for want of space leaves at most a few blocks.
constexpr unsigned long long kFullBelow = 1ULL << 20;

// Whether the file system holding `path`'s folder is (nearly) full.
bool file_system_full(const std::string& path) {
    struct statvfs info {};
    if (::statvfs(folder_of(path).c_str(), &info) != 0) return false;
    return static_cast<unsigned long long>(info.f_bavail) * info.f_frsize < kFullBelow;
}

// Why a file cannot be created at `path`, as an errno value: a folder of that
// name, or the reason its folder gives (0: none).
int folder_error(const std::string& path) {
    const std::filesystem::path folder = folder_of(path);
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return EISDIR;
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
    if (file_system_full(path)) throw FileError(ENOSPC, path);
    throw FileError(EINVAL, path,
                    "OpenCV cannot write a video with FourCC '" + fourcc_text(fourcc) + "' at " +
                        cv::format("%g", fps) + " fps and " + size_text(size) + " frames to this file");
}

void check_written_video(const std::string& path, size_t frames) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) throw FileError(errno, path);
    long long readable = 0;
    {
        const FrameReader reader(path);
        if (reader.is_open()) readable = reader.mode() == FrameReader::Mode::Indexed ? reader.frame_count() : -1;
    }
    // -1: counted only by reading it all; an openable file is taken as whole.
    if (readable < 0 || static_cast<size_t>(readable) >= frames) return;
    if (file_system_full(path)) throw FileError(ENOSPC, path);
    throw FileError(EIO, path,
                    "the video written cannot be read back: " + std::to_string(readable) + " of the " +
                        std::to_string(frames) + " frames written are in the file");
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

VideoOutput::~VideoOutput() { writer_.release(); }  // unchecked: an error is already on its way

void VideoOutput::write(const cv::Mat& frame, const std::string& what) {
    check_frame(frame, size_, what);
    writer_.write(frame);
    ++written_;
}

void VideoOutput::close() {
    if (!writer_.isOpened()) return;
    writer_.release();
    if (written_ > 0) check_written_video(path_, written_);
}

}  // namespace common
