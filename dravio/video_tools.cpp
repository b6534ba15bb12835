#include "dravio/video_tools.hpp"

#include <stdexcept>

#include "common/frame_reader.hpp"
#include "common/image_io.hpp"
#include "common/interrupt.hpp"
#include "common/video_probe.hpp"
#include "dravio/pipeline.hpp"

namespace dravio {

namespace {

std::string size_text(cv::Size size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

}  // namespace

size_t combine_videos(const std::string& path, const Codec& codec, double fps, const std::string& source, cv::Size size,
                      const std::vector<FramePlan>& plan) {
    // Without the first file's frame size and rate there is no video to make,
    // whatever the other files hold: an error, not an empty output.
    if (size.empty())
        common::throw_unreadable_video(source, "cannot read the video that gives the output its frame size and rate");
    bool frames_to_write = false;
    for (const auto& file : plan) {
        if (file.frames.empty()) continue;
        frames_to_write = true;
        if (file.size != size)
            throw std::invalid_argument("'" + file.path + "' has " + size_text(file.size) +
                                        " frames; the output video takes " + size_text(size) +
                                        " frames, the size of the first file '" + source + "'");
    }
    common::VideoOutput video(path, codec.code(), fps, size, frames_to_write);
    if (!video.is_open()) return 0;

    // Several files decode at once (each file's frames stay in order), while
    // the calling thread encodes.
    run_ordered_pipelines(
        plan.size(),
        [&](size_t index, const Emit& emit) {
            const auto& file = plan[index];
            if (file.frames.empty()) return;
            common::FrameReader reader(file.path);
            for (const long long number : file.frames) {
                cv::Mat frame;
                if (!reader.read(number, frame)) continue;  // a frame that cannot be read is skipped
                common::check_frame(frame, size, "frame " + std::to_string(number) + " of '" + file.path + "'");
                if (!emit(std::move(frame))) return;
            }
        },
        [&](cv::Mat& frame) { video.write(frame, "frame"); });
    video.close();
    return video.frames_written();
}

void write_image_files(const std::vector<std::string>& paths, const cv::Mat& first, common::VideoOutput& video) {
    run_pipeline(
        [&](const Emit& emit) {
            if (paths.empty() || !emit(first)) return;
            // Reads files 1.. ahead on worker threads; a failure surfaces in order.
            ordered_async(
                paths.size() - 1, worker_count(),
                [&](size_t i) {
                    cv::Mat image = common::read_image(paths[i + 1]);
                    common::check_frame(image, video.size(), "image '" + paths[i + 1] + "'");
                    return image;
                },
                [&](size_t, cv::Mat image) { return emit(std::move(image)); });
        },
        [&](cv::Mat& frame) { video.write(frame, "image"); });
}

void write_images(const std::vector<cv::Mat>& images, long long step, common::VideoOutput& video) {
    for (size_t k = 0; k < images.size(); ++k) {
        common::check_interrupt();
        video.write(images[k], "frame " + std::to_string(static_cast<long long>(k) * step) + " of the list");
    }
}

std::vector<cv::Mat> read_all_frames(const std::string& path) {
    std::vector<cv::Mat> frames;
    common::FrameReader reader(path);
    for (long long number = 0;; ++number) {
        common::check_interrupt();
        cv::Mat frame;
        if (!reader.read(number, frame)) break;
        frames.push_back(std::move(frame));
    }
    return frames;
}

}  // namespace dravio
