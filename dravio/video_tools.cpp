#include "dravio/video_tools.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "common/errors.hpp"
#include "common/frame_reader.hpp"
#include "common/image_io.hpp"
#include "common/video_writer.hpp"

namespace dravio {

namespace {

std::string size_text(cv::Size size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

}  // namespace

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

void check_frame(const cv::Mat& frame, cv::Size size, const std::string& what) {
    if (frame.depth() != CV_8U || frame.channels() != 3)
        throw std::invalid_argument(what + " is not an 8-bit BGR image (" + std::to_string(frame.channels()) +
                                    " channels of type " + cv::typeToString(frame.depth()) +
                                    "); the video takes 8-bit colour frames");
    if (frame.size() != size)
        throw std::invalid_argument(what + " is " + size_text(frame.size()) + "; the video's frames are " +
                                    size_text(size));
}

size_t combine_videos(const std::string& path, const Codec& codec, double fps, const std::string& source,
                      cv::Size size, const std::vector<FramePlan>& plan, const InterruptCheck& interrupted) {
    bool frames_to_write = false;
    for (const auto& file : plan) {
        if (file.frames.empty()) continue;
        frames_to_write = true;
        if (size.empty()) {
            struct stat info {};
            throw common::FileError(::stat(source.c_str(), &info) != 0 ? errno : EINVAL, source,
                                    "cannot read the video that gives the output its frame size and rate");
        }
        if (file.size != size)
            throw std::invalid_argument("'" + file.path + "' has " + size_text(file.size) +
                                        " frames; the output video takes " + size_text(size) +
                                        " frames, the size of the first file '" + source + "'");
    }
    cv::VideoWriter writer;
    common::open_video_writer(writer, path, codec.code(), fps, size, frames_to_write);
    if (!writer.isOpened()) return 0;

    // Several files decode at once (each file's frames stay in order), while
    // the calling thread encodes.
    size_t written = 0;
    run_ordered_pipelines(
        plan.size(),
        [&](size_t index, const Emit& emit) {
            const auto& file = plan[index];
            if (file.frames.empty()) return;
            common::FrameReader reader(file.path);
            for (const long long number : file.frames) {
                cv::Mat frame;
                if (!reader.read(number, frame)) continue;  // a frame that cannot be read is skipped
                check_frame(frame, size, "frame " + std::to_string(number) + " of '" + file.path + "'");
                if (!emit(std::move(frame))) return;
            }
        },
        [&](cv::Mat& frame) {
            writer.write(frame);
            ++written;
        },
        interrupted);
    writer.release();
    return written;
}

void write_image_files(const std::vector<std::string>& paths, cv::Mat first, cv::VideoWriter& writer,
                       const InterruptCheck& interrupted) {
    const cv::Size size = first.size();
    run_pipeline(
        [&](const Emit& emit) {
            if (paths.empty() || !emit(first)) return;
            // Reads files 1.. ahead on worker threads; a failure surfaces in order.
            ordered_async(
                paths.size() - 1, worker_count(),
                [&](size_t i) {
                    cv::Mat image = common::read_image(paths[i + 1]);
                    check_frame(image, size, "image '" + paths[i + 1] + "'");
                    return image;
                },
                [&](size_t, cv::Mat image) { return emit(std::move(image)); });
        },
        [&](cv::Mat& frame) { writer.write(frame); }, interrupted);
}

void write_images(const std::vector<cv::Mat>& images, cv::VideoWriter& writer, const InterruptCheck& interrupted) {
    for (const auto& image : images) {
        interrupted();
        writer.write(image);
    }
}

std::vector<cv::Mat> read_all_frames(const std::string& path, const InterruptCheck& interrupted) {
    std::vector<cv::Mat> frames;
    common::FrameReader reader(path);
    for (long long number = 0;; ++number) {
        interrupted();
        cv::Mat frame;
        if (!reader.read(number, frame)) break;
        frames.push_back(std::move(frame));
    }
    return frames;
}

}  // namespace dravio
