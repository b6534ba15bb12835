#include "tavelin/image_folder_video.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <utility>

#include "common/errors.hpp"
#include "common/image_io.hpp"
#include "common/interrupt.hpp"
#include "common/video_writer.hpp"

namespace fs = std::filesystem;

namespace tavelin {

std::vector<std::string> entries_by_modification_time(const std::string& folder) {
    std::error_code error;
    fs::directory_iterator listing(folder, error);
    if (error) throw common::FileError(error.value(), folder);
    std::vector<std::pair<double, std::string>> entries;
    for (const auto& entry : listing) {
        const std::string path = (fs::path(folder) / entry.path().filename()).string();
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) throw common::FileError(errno, path);
        // Seconds as a double, as os.path.getmtime gives them.
        entries.emplace_back(static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec * 1e-9, path);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> paths;
    for (auto& entry : entries) paths.push_back(std::move(entry.second));
    return paths;
}

namespace {

// The image in the file, or an empty matrix for a folder or a file that holds
// none. JPEGs are taken as stored: turned by an EXIF orientation tag, the
// frames of one camera would no longer fit the video's size.
cv::Mat try_read_image(const std::string& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return {};
    try {
        return common::read_image(path, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    } catch (const std::invalid_argument&) {
        return {};
    }
}

}  // namespace

std::string write_folder_video(const std::string& folder, double fps) {
    const std::vector<std::string> paths = entries_by_modification_time(folder);
    const std::string output = (fs::path(folder) / "Video.mp4").string();
    std::optional<common::VideoOutput> video;  // opened at the first image, whose size it takes
    for (const auto& path : paths) {
        common::check_interrupt();
        cv::Mat image = try_read_image(path);
        if (image.empty()) continue;
        if (!video) video.emplace(output, common::kMp4vFourcc, fps, image.size());
        video->write(image, "image '" + path + "'");
    }
    if (!video) throw std::invalid_argument("no image to make a video of in folder '" + folder + "'");
    video->close();
    return output;
}

}  // namespace tavelin
