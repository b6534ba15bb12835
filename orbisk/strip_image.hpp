// The space-time strip image of a series of stills.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace orbisk {

// Cuts the band [start, stop) of rows (`rows`) or of columns out of every
// image of `paths`, resolved as a NumPy slice of that axis (negative values
// count from the end, bounds are clipped), and joins the bands in order: row
// bands top to bottom, column bands left to right. Decodes the images in
// parallel. Throws std::invalid_argument naming an image whose band does not
// fit the others, common::FileError for an unreadable file.
cv::Mat join_bands(const std::vector<std::string>& paths, long long start, long long stop, bool rows);

}  // namespace orbisk
