// Owning handles for FFmpeg objects, and opening a video file as OpenCV 4.6
// opens it.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace common {

struct FormatDeleter {
    void operator()(AVFormatContext* p) const noexcept { avformat_close_input(&p); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* p) const noexcept { avcodec_free_context(&p); }
};
struct FrameDeleter {
    void operator()(AVFrame* p) const noexcept { av_frame_free(&p); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext* p) const noexcept { sws_freeContext(p); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatDeleter>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

// FFmpeg's text for an error code.
std::string ffmpeg_error_text(int code);

// Opens the file as OpenCV does (no demuxer options, stream info probed) and
// picks the first video stream, as OpenCV does; `video_stream` is its index.
// Other streams are discarded so their packets are not queued; this does not
// change the video packets.  On failure returns null and says why in
// `error`.
FormatPtr open_video_input(const std::string& path, int& video_stream, std::string& error);

// The presentation time of a decoded frame, as the reader identifies frames.
inline int64_t frame_pts(const AVFrame* frame) {
    return frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
}

}  // namespace common
