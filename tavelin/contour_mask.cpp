#include "tavelin/contour_mask.hpp"

#include <opencv2/imgproc.hpp>

namespace tavelin {

// One drawContours call per outline: drawn together (index -1), outlines
// fill by parity, so an outline picked twice would cancel out and a picked
// hole would be cut out of its picked outer outline.
cv::Mat fill_outlines(cv::Size size, const std::vector<cv::Mat>& outlines) {
    cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
    for (int i = 0; i < static_cast<int>(outlines.size()); ++i)
        cv::drawContours(mask, outlines, i, cv::Scalar(255), cv::FILLED);
    return mask;
}

}  // namespace tavelin
