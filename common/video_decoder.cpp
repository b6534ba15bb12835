#include "common/video_decoder.hpp"

extern "C" {
#include <libavutil/display.h>
}

#include <opencv2/core/utility.hpp>

#include <algorithm>
#include <cmath>

namespace common {
namespace {

constexpr int kMaxDecodeErrors = 64;

// Codecs whose non-reference pictures are never used to predict other
// pictures (H.264 nal_ref_idc == 0, MPEG-1/2/4 B-pictures), so the decoder
// may drop them without changing any other frame.
bool nonref_skip_is_safe(AVCodecID id) {
    return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_MPEG4 || id == AV_CODEC_ID_MPEG2VIDEO ||
           id == AV_CODEC_ID_MPEG1VIDEO;
}

// OpenCV uses one decoder thread per CPU (at most 16).  Frame threads
// often wait for rows of their reference frames, so a few more frames in
// flight than cores keep small machines busier (4 on 2 cores measured
// 10-15% faster than 2).  The count never changes the pixels.
int decoder_threads(int requested) {
    if (requested > 0) return requested;
    const int cpus = std::max(cv::getNumberOfCPUs(), 1);
    return std::min(16, std::max(cpus, std::min(4, 2 * cpus)));
}

}  // namespace

// Sets up the decoder like OpenCV 4.6: decoder found by codec id, thread
// count set before copying the stream parameters, no options, and the
// container's width/height restored if the decoder changed them on open.
bool VideoDecoder::open(std::string& error) {
    codec_.reset();
    format_ = open_video_input(path_, stream_, error);
    if (!format_) return false;
    const AVCodecParameters* parameters = format_->streams[stream_]->codecpar;
    const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
    if (!decoder) {
        error = std::string("no decoder for its video codec ") + avcodec_get_name(parameters->codec_id);
        return false;
    }
    codec_.reset(avcodec_alloc_context3(decoder));
    if (!codec_ || !packet_) {
        error = "out of memory";
        codec_.reset();
        return false;
    }
    codec_->thread_count = decoder_threads(threads_);
    int r = avcodec_parameters_to_context(codec_.get(), parameters);
    if (r >= 0) r = avcodec_open2(codec_.get(), decoder, nullptr);
    if (r < 0) {
        error = std::string("cannot open the ") + decoder->name + " decoder: " + ffmpeg_error_text(r);
        codec_.reset();
        return false;
    }
    if (parameters->width && codec_->width != parameters->width) codec_->width = parameters->width;
    if (parameters->height && codec_->height != parameters->height) codec_->height = parameters->height;

    // OpenCV applies the display-matrix rotation by default: the angle
    // av_display_rotation_get() reports, taken as clockwise (checked
    // against cv2 for 90, 180 and 270).
    rotation_ = 0;
    const uint8_t* matrix = av_stream_get_side_data(format_->streams[stream_], AV_PKT_DATA_DISPLAYMATRIX, nullptr);
    if (matrix) {
        const double angle = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
        if (std::isfinite(angle)) {
            rotation_ = static_cast<int>(std::lround(angle)) % 360;
            if (rotation_ < 0) rotation_ += 360;
        }
    }
    skip_allowed_ = skip_nonref_ && nonref_skip_is_safe(parameters->codec_id);
    pending_ = draining_ = at_eof_ = false;
    next_packet_ = 0;
    ++counters_.reopens;
    return true;
}

cv::Size VideoDecoder::picture_size() const {
    if (!codec_) return {};
    const bool turned = rotation_ == 90 || rotation_ == 270;
    return turned ? cv::Size(codec_->height, codec_->width) : cv::Size(codec_->width, codec_->height);
}

bool VideoDecoder::read_video_packet() {
    for (;;) {
        av_packet_unref(packet_.get());
        if (av_read_frame(format_.get(), packet_.get()) < 0) return false;
        if (packet_->stream_index == stream_) return true;
    }
}

VideoDecoder::Step VideoDecoder::next_frame(AVFrame* out, const Guide& guide) {
    int errors = 0;
    for (;;) {
        const int r = avcodec_receive_frame(codec_.get(), out);
        if (r == 0) {
            ++counters_.frames_decoded;
            return Step::Got;
        }
        if (r == AVERROR_EOF) {
            at_eof_ = true;
            return Step::End;
        }
        if (r != AVERROR(EAGAIN) && ++errors > kMaxDecodeErrors) return Step::Error;
        if (draining_) {
            if (r == AVERROR(EAGAIN)) return Step::End;
            continue;
        }
        if (guide.flush_after_target && !pending_ && next_packet_ > guide.target_packet) {
            avcodec_send_packet(codec_.get(), nullptr);  // target sent: get it out now
            draining_ = true;
            continue;
        }
        if (!pending_ && !read_video_packet()) {
            avcodec_send_packet(codec_.get(), nullptr);  // flush delayed frames
            draining_ = true;
            continue;
        }
        int64_t frame_pts = packet_->pts;
        if (guide.index) {
            if (next_packet_ >= guide.index->packet_count() || guide.index->packet(next_packet_).pts != packet_->pts)
                return Step::Inconsistent;
            // A second field goes with its first: dropped with it or kept with it.
            frame_pts = guide.index->packet(next_packet_).frame_pts;
            if (next_packet_ < guide.send_from ||
                (next_packet_ > guide.target_packet && next_packet_ < guide.resume_at)) {
                av_packet_unref(packet_.get());
                ++next_packet_;
                continue;
            }
        }
        const int64_t below = next_packet_ > guide.target_packet ? guide.skip_after_pts : guide.skip_below_pts;
        codec_->skip_frame =
            (skip_allowed_ && frame_pts != AV_NOPTS_VALUE && frame_pts < below) ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        const int s = avcodec_send_packet(codec_.get(), packet_.get());
        if (s == AVERROR(EAGAIN)) {  // not expected after EAGAIN above; retry later
            pending_ = true;
            continue;
        }
        pending_ = false;
        av_packet_unref(packet_.get());
        ++counters_.packets_sent;
        ++next_packet_;
        if (s < 0 && ++errors > kMaxDecodeErrors) return Step::Error;
    }
}

bool VideoDecoder::seek_to_packet(const PacketIndex& index, int64_t position) {
    ++counters_.seeks;
    avcodec_flush_buffers(codec_.get());
    pending_ = draining_ = at_eof_ = false;
    const PacketIndex::Packet& start = index.packet(position);
    int r;
    if (index.byte_seekable() && start.byte_position >= 0) {
        r = av_seek_frame(format_.get(), stream_, start.byte_position, AVSEEK_FLAG_BYTE);
    } else {
        const int64_t ts = start.dts != AV_NOPTS_VALUE ? start.dts : start.pts;
        r = av_seek_frame(format_.get(), stream_, ts, AVSEEK_FLAG_BACKWARD);
    }
    if (r < 0 || !skip_to(index, position, false)) {
        // Container seek missed: start over from the file start.
        if (!open() || !skip_to(index, position, true)) return false;
    }
    next_packet_ = position;
    return true;
}

// Reads packets without decoding until packet `position` (always a frame
// start with a pts); false if it is passed.  Packets without a pts (second
// fields split from their frame's PES) cannot be placed and are passed over.
// After a container seek a few unknown packets are expected; many mean the
// seek went astray.
bool VideoDecoder::skip_to(const PacketIndex& index, int64_t position, bool from_start) {
    int unknown = 0;
    while (read_video_packet()) {
        if (packet_->pts == AV_NOPTS_VALUE) continue;
        const int64_t at = index.frame_with_pts(packet_->pts);
        if (at < 0) {
            // A second field's own pts, or a packet the index does not hold.
            if (!from_start && ++unknown > 2 * kMaxDecodeErrors) return false;
            continue;
        }
        if (at == position) {
            pending_ = true;
            return true;
        }
        if (at > position) return false;
    }
    return false;
}

}  // namespace common
