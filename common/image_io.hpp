// Reading and writing image files by their bytes, so that any file name the
// file system holds (non-ASCII folders included) works.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <string>

namespace common {

// The 8-bit BGR image in the file at `path`, decoded with `flags` (OpenCV's
// IMREAD_COLOR turns a JPEG by its EXIF orientation; add
// IMREAD_IGNORE_ORIENTATION to take it as stored). Throws FileError when the
// file cannot be read and std::invalid_argument when it holds no decodable
// image.
cv::Mat read_image(const std::string& path, int flags = cv::IMREAD_COLOR);

// Writes `image` to `path` in the format that `extension` (".jpg", ".png",
// ".bmp", ...) names. Throws std::invalid_argument for an extension OpenCV
// has no encoder for, FileError when the file cannot be written (a file left
// incomplete, on a full disk for example, is removed).
void save_image(const cv::Mat& image, const std::string& path, const std::string& extension);

}  // namespace common
