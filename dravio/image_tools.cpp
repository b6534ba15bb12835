#include "dravio/image_tools.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>

#include "common/image_io.hpp"
#include "dravio/pipeline.hpp"

namespace dravio {

namespace {

constexpr double clip_limit = 5.0;

cv::Mat plane_of(const cv::Mat& image, Plane plane) {
    cv::Mat result;
    switch (plane) {
        case Plane::hue:
        case Plane::saturation:
        case Plane::value: {
            cv::Mat hsv;
            cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV);
            cv::extractChannel(hsv, result, static_cast<int>(plane) - static_cast<int>(Plane::hue));
            break;
        }
        case Plane::blue:
        case Plane::green:
        case Plane::red:
            if (image.channels() != 3)
                throw std::invalid_argument("evenLightImg takes a 3-channel BGR image for a colour plane, got " +
                                            std::to_string(image.channels()) + " channel(s)");
            cv::extractChannel(image, result, static_cast<int>(plane) - static_cast<int>(Plane::blue));
            break;
        case Plane::grey: cv::cvtColor(image, result, cv::COLOR_BGR2GRAY); break;
    }
    return result;
}

}  // namespace

void fractions_to_bytes(const double* fractions, unsigned char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(fractions[i] * 255.0);
}

cv::Mat even_light(const cv::Mat& image, int tiles, Plane plane) {
    // OpenCV accepts an empty grid here and then dies of a division by zero.
    if (tiles < 1)
        throw std::invalid_argument("the CLAHE tile grid size must be at least 1, got " + std::to_string(tiles));
    const cv::Mat source = plane_of(image, plane);
    if (tiles > std::min(source.rows, source.cols))
        throw std::invalid_argument("a CLAHE grid of " + std::to_string(tiles) + " x " + std::to_string(tiles) +
                                    " tiles is finer than the " + std::to_string(source.cols) + "x" +
                                    std::to_string(source.rows) + " image's pixels");
    cv::Mat result;
    cv::createCLAHE(clip_limit, cv::Size(tiles, tiles))->apply(source, result);
    return result;
}

cv::Mat rotate_image(const cv::Mat& image) {
    const cv::Point2f centre(static_cast<float>(image.cols * 0.5), static_cast<float>(image.rows * 0.5));
    const cv::Mat turn = cv::getRotationMatrix2D(centre, 90.0, 1.0);
    cv::Mat result;
    cv::warpAffine(image, result, turn, image.size());
    return result;
}

std::vector<cv::Mat> even_light_files(const std::vector<std::string>& paths) {
    return map_in_order(paths.size(),
                        [&](size_t i) { return even_light(common::read_image(paths[i]), folder_tiles, Plane::grey); });
}

std::vector<cv::Mat> rotate_files(const std::vector<std::string>& paths) {
    return map_in_order(paths.size(), [&](size_t i) { return rotate_image(common::read_image(paths[i])); });
}

}  // namespace dravio
