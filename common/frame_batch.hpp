// Reading many frames of one file.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

#include "common/frame_reader.hpp"

namespace common {

// Frames `indices` of `reader`, in order; an empty matrix where a frame could
// not be read. Checks for Ctrl-C between frames (check_interrupt).
std::vector<cv::Mat> read_frames(FrameReader& reader, const std::vector<int64_t>& indices);

}  // namespace common
