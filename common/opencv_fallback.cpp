#include "common/opencv_fallback.hpp"

namespace common {

bool OpenCVFallback::open(const std::string& path, std::string& error) {
    next_ = 0;
    if (capture_.open(path) && capture_.isOpened()) return true;
    error = "OpenCV cannot open it either";
    return false;
}

cv::Size OpenCVFallback::frame_size() const {
    return {static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_WIDTH)),
            static_cast<int>(capture_.get(cv::CAP_PROP_FRAME_HEIGHT))};
}

bool OpenCVFallback::grab(int64_t index, int64_t forward_limit, int64_t& seeks) {
    if (index < next_ || index - next_ > forward_limit) {
        capture_.set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(index));
        ++seeks;
        next_ = index;
    }
    while (next_ <= index) {
        if (!capture_.grab()) {
            next_ = INT64_MAX;  // unknown position: seek next time
            return false;
        }
        ++next_;
    }
    return true;
}

bool OpenCVFallback::retrieve(cv::Mat& out) { return capture_.retrieve(out) && !out.empty(); }

}  // namespace common
