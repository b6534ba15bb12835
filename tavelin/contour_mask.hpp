// The mask of hand-picked outlines.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace tavelin {

// A mask of `size` that is 255 inside and on every outline, each filled as a
// solid polygon on its own, so the holes of a picked outline are filled too
// and an outline picked twice is simply filled twice.
cv::Mat fill_outlines(cv::Size size, const std::vector<cv::Mat>& outlines);

}  // namespace tavelin
