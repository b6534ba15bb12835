// The demuxer and decoder of a file's video stream, set up exactly as
// OpenCV 4.6's FFmpeg backend sets them up, with the packet flow of the
// exact reader: packets checked against the packet index, non-reference
// frames dropped where no wanted frame needs them, seeks to an indexed
// packet.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>

#include "common/ffmpeg_handles.hpp"
#include "common/packet_index.hpp"

namespace common {

struct DecoderCounters {
    int64_t seeks = 0;           // container seeks (plus reopens)
    int64_t reopens = 0;         // file reopened to restart from the beginning
    int64_t packets_sent = 0;    // packets given to the decoder
    int64_t frames_decoded = 0;  // frames the decoder returned (dropped ones not counted)
};

class VideoDecoder {
public:
    enum class Step { Got, End, Inconsistent, Error };

    // How next_frame() treats the packets it sends.
    struct Guide {
        const PacketIndex* index = nullptr;  // every packet must be the next one of this index
        int64_t target_packet = -1;          // decode position of the wanted frame's last packet
        // Non-reference frames with a pts below these may be dropped: before
        // the target's packet, and after it (the guessed next target).
        int64_t skip_below_pts = INT64_MIN;
        int64_t skip_after_pts = INT64_MIN;
        bool flush_after_target = false;  // end the stream once the target's packet is sent
        // Packets before this decode position are read but not sent: the
        // decoder goes on at an IDR picture ahead instead of seeking to it,
        // which would empty its pipeline of frames in flight.
        int64_t send_from = -1;
        // And after the target: packets from target_packet + 1 up to this
        // position are left out too, when the next wanted frame (guessed)
        // lies after an IDR picture there; sending that picture brings the
        // target out of the decoder's pipeline without decoding frames no
        // one wants.
        int64_t resume_at = -1;
    };

    VideoDecoder(std::string path, int threads, bool skip_nonref, DecoderCounters& counters)
        : path_(std::move(path)), threads_(threads), skip_nonref_(skip_nonref), counters_(counters) {}

    // (Re)opens the file at its start.  False, with the reason, on failure.
    bool open(std::string& error);
    bool open() {
        std::string ignored;
        return open(ignored);
    }

    bool is_open() const { return static_cast<bool>(codec_); }
    const AVCodecContext* codec() const { return codec_.get(); }
    int rotation() const { return rotation_; }
    cv::Size picture_size() const;  // after the rotation OpenCV applies

    // The next frame from the decoder into `out`, feeding packets as needed.
    Step next_frame(AVFrame* out, const Guide& guide);

    // Positions the demuxer at packet `position` (decode order) of `index`
    // with a flushed decoder; reopens the file when the container's seek
    // misses.  The packet is sent by the next next_frame().
    bool seek_to_packet(const PacketIndex& index, int64_t position);

    // Decode position of the next packet to send (Indexed use).
    int64_t next_packet() const { return next_packet_; }
    void set_next_packet(int64_t position) { next_packet_ = position; }

    bool at_end() const { return at_eof_; }

private:
    bool read_video_packet();
    bool skip_to(const PacketIndex& index, int64_t position, bool from_start);

    std::string path_;
    int threads_;
    bool skip_nonref_;
    DecoderCounters& counters_;

    FormatPtr format_;
    int stream_ = -1;
    CodecPtr codec_;
    PacketPtr packet_{av_packet_alloc()};
    bool skip_allowed_ = false;
    int rotation_ = 0;
    bool pending_ = false;   // packet_ holds a packet read while seeking, not yet sent
    bool draining_ = false;  // end of stream sent, delayed frames are coming out
    bool at_eof_ = false;    // the decoder has returned everything
    int64_t next_packet_ = 0;
};

}  // namespace common
