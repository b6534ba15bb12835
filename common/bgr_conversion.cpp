#include "common/bgr_conversion.hpp"

namespace common {

// As OpenCV: the conversion context and the BGR buffer are made again only
// when the decoder's width or height change, from the decoded pixel format
// at coded size, bicubic, buffer rows aligned to 32; the whole coded height
// is converted and the top-left width x height is the image, rotated per
// the display matrix.  The pixels do not depend on where the rows lie, so
// when the image is the buffer's top-left corner with the same row length
// the conversion writes straight into the image returned.
bool BgrConverter::convert(const AVFrame* frame, int width, int height, int coded_width, int coded_height, int rotation,
                           cv::Mat& out) {
    if (!frame->data[0] || !buffer_) return false;
    if (!context_ || width_ != width || height_ != height) {
        context_.reset(sws_getCachedContext(context_.release(), coded_width, coded_height,
                                            static_cast<AVPixelFormat>(frame->format), coded_width, coded_height,
                                            AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!context_) return false;
        av_frame_unref(buffer_.get());
        buffer_->format = AV_PIX_FMT_BGR24;
        buffer_->width = coded_width;
        buffer_->height = coded_height;
        if (av_frame_get_buffer(buffer_.get(), 32) != 0) {
            context_.reset();
            return false;
        }
        width_ = width;
        height_ = height;
        coded_width_ = coded_width;
        coded_height_ = coded_height;
    }
    const int row_bytes = buffer_->linesize[0];
    const bool direct = rotation == 0 && coded_width_ == width_ && row_bytes == 3 * width_ && coded_height_ >= height_;
    if (direct) {
        // One spare row: vector code may write a little past the last pixel.
        cv::Mat whole(coded_height_ + 1, width_, CV_8UC3);
        uint8_t* planes[4] = {whole.data, nullptr, nullptr, nullptr};
        int strides[4] = {row_bytes, 0, 0, 0};
        sws_scale(context_.get(), frame->data, frame->linesize, 0, coded_height_, planes, strides);
        out = whole.rowRange(0, height_);
        return true;
    }
    sws_scale(context_.get(), frame->data, frame->linesize, 0, coded_height_, buffer_->data, buffer_->linesize);
    const cv::Mat image(height_, width_, CV_8UC3, buffer_->data[0], static_cast<size_t>(row_bytes));
    switch (rotation) {
        case 90: cv::rotate(image, out, cv::ROTATE_90_CLOCKWISE); break;
        case 180: cv::rotate(image, out, cv::ROTATE_180); break;
        case 270: cv::rotate(image, out, cv::ROTATE_90_COUNTERCLOCKWISE); break;
        default: image.copyTo(out); break;
    }
    return true;
}

}  // namespace common
