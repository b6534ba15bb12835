// Picking outlines of an image with the mouse in an OpenCV window.
#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace rimwell {

using Outline = std::vector<cv::Point>;

// Every outline of `image` (BGR): the boundaries of the regions brighter than
// 127 in its grey version and of the holes inside them, as findContours gives
// them with RETR_CCOMP and CHAIN_APPROX_SIMPLE.
std::vector<Outline> find_outlines(const cv::Mat& image);

// The index of the outline whose nearest edge is closest to `point` (the
// smallest absolute pointPolygonTest distance, the earliest on ties), or -1
// when there is none.
int nearest_outline(const std::vector<Outline>& outlines, cv::Point point);

enum class PickEnd { Enter, Closed };

struct Picking {
    std::vector<Outline> candidates;
    std::vector<int> picked;  // indices into candidates, in click order
    PickEnd end = PickEnd::Enter;
};

// Shows a copy of `image` in the window "Image" with every outline in red and
// lets the user pick outlines with the left button: each click marks the point
// in blue and the nearest outline in green. The wait ends with Enter (key 13)
// or when the window is closed; Ctrl-C is checked between short waits
// (common::check_interrupt). The window is destroyed on every way out, errors
// included. The caller's image is never drawn on. Throws std::runtime_error
// when there is no display or another call is still picking.
Picking pick_outlines(const cv::Mat& image);

}  // namespace rimwell
