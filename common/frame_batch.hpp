// Reading many frames of one file with the GIL released.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

#include "common/frame_reader.hpp"

namespace common {

// Frames `indices` of `reader`, in order; an empty matrix where a frame could
// not be read. Called with the GIL held; releases it while decoding and checks
// for Ctrl-C between frames (raising KeyboardInterrupt as error_already_set).
std::vector<cv::Mat> read_frames(FrameReader& reader, const std::vector<int64_t>& indices);

}  // namespace common
