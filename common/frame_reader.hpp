// Exact, fast random access to video frames.
//
// Frame k (0-based) is the image cv::VideoCapture(path).read() returns on its
// (k+1)-th call after opening the file, pixel for pixel (OpenCV 4.6, FFmpeg
// backend).  Frames are reached by decoding forward from the current position
// when that is cheaper, and otherwise by seeking exactly to the right
// keyframe found in a packet index built once at open time.
//
// A FrameReader is not thread-safe: use one per thread.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace common {

class FrameReader {
public:
    // How frames are located; see frame_reader.cpp.
    enum class Mode { Closed, Indexed, Sequential, OpenCV };

    struct Options {
        // Decoder threads; 0: the CPU count (at most 16, as OpenCV), but at
        // least 4 on multi-core machines.  The count never changes the pixels.
        int threads = 0;
        // Let the decoder drop non-reference frames that lie before the
        // requested frame (H.264 / MPEG-1/2/4 only; nothing references them).
        bool skip_nonref = true;
        // Decode forward instead of seeking when the target lies at most this
        // many frames ahead; only used when falling back to cv::VideoCapture.
        int opencv_forward_limit = 32;
        // Indexed picks the best mode for the file; Sequential or OpenCV
        // force the slower fallbacks (for testing and troubleshooting).
        Mode prefer = Mode::Indexed;
    };

    struct Stats {
        int64_t seeks = 0;           // container seeks (plus reopens)
        int64_t reopens = 0;         // file reopened to restart from the beginning
        int64_t packets_sent = 0;    // packets given to the decoder
        int64_t frames_decoded = 0;  // frames the decoder returned (dropped ones not counted)
        int64_t frames_converted = 0;
        int64_t fallbacks = 0;  // retries after the target did not come out
    };

    // `path` is passed to FFmpeg unchanged (file-system encoding, UTF-8 here).
    // Never throws for an unreadable file: is_open() is then false.
    explicit FrameReader(const std::string& path);
    FrameReader(const std::string& path, const Options& options);
    ~FrameReader();

    FrameReader(FrameReader&&) noexcept;
    FrameReader& operator=(FrameReader&&) noexcept;
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    bool is_open() const;
    Mode mode() const;

    // The size of the frames read (after the rotation OpenCV applies);
    // 0 x 0 when the file could not be opened.
    cv::Size frame_size() const;

    // Number of frames a forward read delivers, counted from the packet index.
    // -1 when unknown (Sequential mode before the end was reached, OpenCV mode).
    int64_t frame_count() const;

    // Frame `index` as BGR CV_8UC3.  Negative indices are clamped to 0, as
    // VideoCapture::set(CAP_PROP_POS_FRAMES) does.  Returns false and leaves
    // `out` empty when the frame does not exist or cannot be decoded.
    bool read(int64_t index, cv::Mat& out);

    // Advance to frame `index` without colour conversion; retrieve() converts
    // the grabbed frame.  read() == grab() + retrieve().
    bool grab(int64_t index);
    bool retrieve(cv::Mat& out);

    // Index of the grabbed frame, -1 if none.
    int64_t position() const;

    Stats stats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace common
