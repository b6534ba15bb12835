#include "orbisk/strip_image.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <stdexcept>

#include "common/image_io.hpp"
#include "common/interrupt.hpp"

namespace orbisk {

namespace {

// Images read between two checks for Ctrl-C.
constexpr size_t kChunk = 32;

// [start, stop) of an axis of `length`, as NumPy slices it: negative values
// count from the end, bounds are clipped to the axis.
std::pair<int, int> slice_axis(long long start, long long stop, int length) {
    auto clip = [length](long long v) {
        if (v < 0) v += length;
        return static_cast<int>(std::clamp<long long>(v, 0, length));
    };
    const int begin = clip(start), end = clip(stop);
    return {begin, std::max(begin, end)};
}

}  // namespace

cv::Mat join_bands(const std::vector<std::string>& paths, long long start, long long stop, bool rows) {
    std::vector<cv::Mat> bands(paths.size());
    // The images are read in parallel, a chunk at a time, with a Ctrl-C check
    // between chunks; the failure reported is that of the first bad image in
    // list order, whichever thread met it first.
    std::exception_ptr failure;
    size_t failed_at = paths.size();
    std::mutex failure_lock;
    for (size_t chunk = 0; chunk < paths.size() && !failure; chunk += kChunk) {
        common::check_interrupt();
        const int end = static_cast<int>(std::min(paths.size(), chunk + kChunk));
        cv::parallel_for_(cv::Range(static_cast<int>(chunk), end), [&](const cv::Range& range) {
            for (int k = range.start; k < range.end; ++k) {
                try {
                    const cv::Mat image = common::read_image(paths[k]);
                    const auto [begin, stop_at] = slice_axis(start, stop, rows ? image.rows : image.cols);
                    // A copy of the band alone: a view would keep the whole image.
                    bands[k] = (rows ? image.rowRange(begin, stop_at) : image.colRange(begin, stop_at)).clone();
                } catch (...) {
                    std::lock_guard<std::mutex> lock(failure_lock);
                    if (static_cast<size_t>(k) < failed_at) {
                        failure = std::current_exception();
                        failed_at = static_cast<size_t>(k);
                    }
                }
            }
        });
    }
    if (failure) std::rethrow_exception(failure);

    for (size_t k = 1; k < bands.size(); ++k) {
        const bool fits = rows ? bands[k].cols == bands[0].cols : bands[k].rows == bands[0].rows;
        if (!fits)
            throw std::invalid_argument("the band of '" + paths[k] + "' is " + std::to_string(bands[k].cols) + "x" +
                                        std::to_string(bands[k].rows) + ", the first image's " +
                                        std::to_string(bands[0].cols) + "x" + std::to_string(bands[0].rows));
    }
    cv::Mat joined;
    // Empty bands join into an empty image of the other axis's length.
    std::vector<cv::Mat> parts;
    for (const auto& band : bands)
        if (!band.empty()) parts.push_back(band);
    if (parts.empty())
        return rows ? cv::Mat(0, bands.empty() ? 0 : bands[0].cols, CV_8UC3)
                    : cv::Mat(bands.empty() ? 0 : bands[0].rows, 0, CV_8UC3);
    if (rows)
        cv::vconcat(parts, joined);
    else
        cv::hconcat(parts, joined);
    return joined;
}

}  // namespace orbisk
