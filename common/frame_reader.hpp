// Exact frames of a video file by number.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace common {

// Reads frames of one video file by their number: frame k is the image that
// the (k+1)-th read() of a freshly opened cv::VideoCapture returns, whatever
// the container (seeking with CAP_PROP_POS_FRAMES is not exact on every one).
// The file stays open while the reader lives.
class FrameReader {
public:
    explicit FrameReader(const std::string& path);  // never throws for an unreadable file
    ~FrameReader();
    FrameReader(FrameReader&&) noexcept;
    FrameReader& operator=(FrameReader&&) noexcept;
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    bool is_open() const;

    // The frame size the file reports (0 x 0 when it could not be opened).
    cv::Size frame_size() const;

    // Frame `index` as 8-bit BGR, the same pixels cv::VideoCapture::read()
    // gives; false (and `out` left empty) when there is no such frame. A
    // negative index reads frame 0, as OpenCV's seek does.
    bool read(int64_t index, cv::Mat& out);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace common
