// Provisional reader: decodes forward from the start of the file (reopening
// it for a backward jump), which is exact for every container but slow for
// far jumps.
#include "common/frame_reader.hpp"

#include <opencv2/videoio.hpp>

namespace common {

struct FrameReader::Impl {
    std::string path;
    cv::VideoCapture capture;
    int64_t next = 0;  // number of the frame the next read returns
};

FrameReader::FrameReader(const std::string& path) : impl_(std::make_unique<Impl>()) {
    impl_->path = path;
    impl_->capture.open(path);
}

FrameReader::~FrameReader() = default;
FrameReader::FrameReader(FrameReader&&) noexcept = default;
FrameReader& FrameReader::operator=(FrameReader&&) noexcept = default;

bool FrameReader::is_open() const { return impl_->capture.isOpened(); }

cv::Size FrameReader::frame_size() const {
    if (!impl_->capture.isOpened()) return {};
    return {static_cast<int>(impl_->capture.get(cv::CAP_PROP_FRAME_WIDTH)),
            static_cast<int>(impl_->capture.get(cv::CAP_PROP_FRAME_HEIGHT))};
}

bool FrameReader::read(int64_t index, cv::Mat& out) {
    out.release();
    if (!impl_->capture.isOpened()) return false;
    if (index < 0) index = 0;
    if (index < impl_->next) {
        impl_->capture.open(impl_->path);
        impl_->next = 0;
    }
    for (; impl_->next < index; ++impl_->next)
        if (!impl_->capture.grab()) return false;
    if (!impl_->capture.read(out)) {
        out.release();
        return false;
    }
    ++impl_->next;
    return true;
}

}  // namespace common
