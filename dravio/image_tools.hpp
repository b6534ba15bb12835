// Even lighting (CLAHE on one plane of an image) and rotation of images: the
// work behind evenLightImg, evenLight, rotateImg and rotate.
#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <string>
#include <vector>

namespace dravio {

// Random fractions in [0, 1) as bytes 0..254: times 255, truncated toward
// zero (as NumPy's conversion to uint8 truncates).
void fractions_to_bytes(const double* fractions, unsigned char* bytes, size_t count);

// The plane of a BGR image that evenLightImg equalises.
enum class Plane { hue, saturation, value, blue, green, red, grey };

// The tile grid of evenLight.
inline constexpr int folder_tiles = 21;

// CLAHE with clip limit 5 and a tiles x tiles grid applied to `plane` of the
// BGR image: one of its HSV planes, one of its own planes, or its grey
// version. Throws std::invalid_argument for fewer than 1 tile or for tiles
// smaller than a pixel (more tiles than the image's shorter side).
cv::Mat even_light(const cv::Mat& image, int tiles, Plane plane);

// The image turned by 90 degrees counter-clockwise about its centre, at
// scale 1 and keeping its size; corners that come from outside it are black.
cv::Mat rotate_image(const cv::Mat& image);

// even_light(image, folder_tiles, Plane::grey) of every image file, reading
// and equalising several files at once; results in the order of `paths`.
std::vector<cv::Mat> even_light_files(const std::vector<std::string>& paths);

// rotate_image of every image file, several files at once, in order.
std::vector<cv::Mat> rotate_files(const std::vector<std::string>& paths);

}  // namespace dravio
