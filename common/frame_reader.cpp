// FrameReader: exact random access to video frames with FFmpeg.
//
// Modes (chosen at open):
//  - Indexed: the container's video packets are listed once (demux only, no
//    decoding).  A frame's display number is the rank of its packet's pts
//    among all video packets, shifted so that frame 0 is the first frame the
//    decoder returns from the start of the file (what VideoCapture::read()
//    returns first).  Decoded frames are identified by their pts.  A frame
//    is reached by decoding forward unless a keyframe lies between the
//    decoder's position and the frame; then the reader seeks to the last
//    keyframe before it (an earlier one for open-GOP leading frames).
//  - Sequential: used when the index cannot be trusted (missing or repeated
//    pts, decoded frames that do not match the index).  Frames are counted
//    from the start of the file, going backwards reopens the file.  Exact,
//    but slow for backward or far jumps.
//  - OpenCV: libavformat cannot open the file or it has no decodable video
//    stream; cv::VideoCapture (any backend) is used, grabbing forward for
//    near frames and seeking for far ones.  Not guaranteed exact.
//
// Pixels: the decoder is set up and its frames converted exactly as OpenCV
// 4.6's FFmpeg backend (cap_ffmpeg_impl.hpp) does; see open_decoder() and
// convert().

#include "common/frame_reader.hpp"

#include <opencv2/videoio.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

namespace common {
namespace {

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

constexpr int kMaxDecodeErrors = 64;

// Opens the file as OpenCV does (no demuxer options, stream info probed) and
// picks the first video stream, as OpenCV does.  Other streams are discarded
// so their packets are not queued; this does not change the video packets.
FormatPtr open_input(const std::string& path, int& stream) {
    stream = -1;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return nullptr;  // raw is freed by FFmpeg on failure
    FormatPtr fmt(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) return nullptr;
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        if (stream < 0 && raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            stream = static_cast<int>(i);
        else
            raw->streams[i]->discard = AVDISCARD_ALL;
    }
    if (stream < 0) return nullptr;
    return fmt;
}

// Containers without a usable seek index (MPEG-TS/PS): libavformat's
// timestamp seek there lands on arbitrary packets, so we seek to the byte
// position of the wanted packet instead.
bool prefers_byte_seek(const AVFormatContext* fmt) {
    const char* name = fmt->iformat->name;
    return std::strcmp(name, "mpegts") == 0 || std::strcmp(name, "mpegtsraw") == 0 || std::strcmp(name, "mpeg") == 0;
}

// Codecs whose non-reference pictures are never used to predict other
// pictures (H.264 nal_ref_idc == 0, MPEG-1/2/4 B-pictures), so the decoder
// may drop them without changing any other frame.
bool nonref_skip_is_safe(AVCodecID id) {
    return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_MPEG4 || id == AV_CODEC_ID_MPEG2VIDEO ||
           id == AV_CODEC_ID_MPEG1VIDEO;
}

int64_t frame_pts(const AVFrame* f) { return f->pts != AV_NOPTS_VALUE ? f->pts : f->best_effort_timestamp; }

struct PacketInfo {
    int64_t pts;
    int64_t dts;
    int64_t pos;
    bool key;
    bool discard;       // packet the decoder drops (edit lists); never a frame
    int64_t rank = -1;  // display-order number, -1 for discarded packets
};

}  // namespace

struct FrameReader::Impl {
    enum class Step { Got, End, Inconsistent, Error };
    enum class Outcome { Found, Missing, Inconsistent, Failed };

    std::string path;
    Options opt;
    Mode mode = Mode::Closed;
    Stats stats;

    // Decoding state.
    FormatPtr fmt;
    int stream = -1;
    CodecPtr dec;
    PacketPtr pkt{av_packet_alloc()};
    FramePtr work{av_frame_alloc()};  // frame being examined
    FramePtr cur{av_frame_alloc()};   // grabbed frame
    int64_t cur_index = -1;
    bool pending = false;   // pkt holds a packet read while seeking, not yet sent
    bool draining = false;  // end of file reached, decoder is being flushed
    bool at_eof = false;    // decoder has returned everything
    bool skip_allowed = false;
    // Non-reference packets with pts below skip_below_pts may be dropped;
    // after the target's packet, below skip_after_pts (the guessed next target).
    int64_t skip_below_pts = INT64_MIN;
    int64_t skip_after_pts = INT64_MIN;
    int64_t target_packet = -1;    // decode position of the requested frame
    bool drain_at_target = false;  // flush the decoder once the target's packet is sent
    bool drain_ok = true;          // cleared when a flush lost a frame (open GOPs)
    bool last_seeked = false;      // the previous request needed a seek
    int64_t prev_index = -1, prev_step = 0;

    // Packet index (Indexed mode), in decode order.
    std::vector<PacketInfo> packets;
    std::vector<int64_t> by_rank;  // rank -> decode position
    std::vector<int64_t> starts;   // decode positions where decoding may begin
    std::unordered_map<int64_t, int64_t> pos_of_pts;
    int64_t first_rank = 0;  // rank of the first frame decoded from the file start
    int64_t count = -1;
    bool byte_seek = false;

    // Where the decoder stands (Indexed mode).
    bool positioned = false;
    int64_t next_packet = 0;  // decode position of the next packet to send
    int64_t last_rank = -1;   // rank of the last frame returned by the decoder

    int64_t seq_next = 0;  // Sequential mode: index of the next frame the decoder returns

    // Colour conversion state, as in OpenCV's retrieveFrame().
    SwsPtr sws;
    FramePtr bgr{av_frame_alloc()};
    int conv_w = 0, conv_h = 0;
    int rotation = 0;

    // OpenCV fallback.
    cv::VideoCapture cap;
    int64_t cap_next = 0;  // index of the frame the next cap.grab() returns

    Impl(std::string p, const Options& o) : path(std::move(p)), opt(o) {}

    // OpenCV uses one decoder thread per CPU (at most 16).  Frame threads
    // often wait for rows of their reference frames, so a few more frames in
    // flight than cores keep small machines busier (4 on 2 cores measured
    // 10-15% faster than 2).  The count never changes the pixels.
    int thread_count() const {
        if (opt.threads > 0) return opt.threads;
        const int cpus = std::max(cv::getNumberOfCPUs(), 1);
        return std::min(16, std::max(cpus, std::min(4, 2 * cpus)));
    }

    // ---- opening -------------------------------------------------------

    void open() {
        if (!pkt || !work || !cur || !bgr) return;
        if (opt.prefer == Mode::OpenCV) {
            open_opencv();
            return;
        }
        const bool index_ok = opt.prefer == Mode::Indexed && build_index();
        if (!open_decoder()) {
            open_opencv();
            return;
        }
        if (index_ok) {
            if (calibrate()) {
                mode = Mode::Indexed;
                return;
            }
            if (!open_decoder()) {  // calibration consumed packets: start again
                open_opencv();
                return;
            }
        }
        enter_sequential();
    }

    cv::Size frame_size() const {
        if (mode == Mode::OpenCV)
            return {static_cast<int>(cap.get(cv::CAP_PROP_FRAME_WIDTH)),
                    static_cast<int>(cap.get(cv::CAP_PROP_FRAME_HEIGHT))};
        if (mode == Mode::Closed || !dec) return {};
        const bool turned = rotation == 90 || rotation == 270;
        return turned ? cv::Size(dec->height, dec->width) : cv::Size(dec->width, dec->height);
    }

    void open_opencv() {
        fmt.reset();
        dec.reset();
        if (cap.open(path) && cap.isOpened()) mode = Mode::OpenCV;
    }

    // Sets up the decoder like OpenCV 4.6: decoder found by codec id, thread
    // count set before copying the stream parameters, no options, and the
    // container's width/height restored if the decoder changed them on open.
    bool open_decoder() {
        dec.reset();
        fmt = open_input(path, stream);
        if (!fmt) return false;
        const AVCodecParameters* par = fmt->streams[stream]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        if (!codec) return false;
        dec.reset(avcodec_alloc_context3(codec));
        if (!dec) return false;
        dec->thread_count = thread_count();
        if (avcodec_parameters_to_context(dec.get(), par) < 0 || avcodec_open2(dec.get(), codec, nullptr) < 0) {
            dec.reset();
            return false;
        }
        if (par->width && dec->width != par->width) dec->width = par->width;
        if (par->height && dec->height != par->height) dec->height = par->height;

        // OpenCV applies the display-matrix rotation by default: the angle
        // av_display_rotation_get() reports, taken as clockwise (checked
        // against cv2 for 90, 180 and 270).
        rotation = 0;
        const uint8_t* matrix = av_stream_get_side_data(fmt->streams[stream], AV_PKT_DATA_DISPLAYMATRIX, nullptr);
        if (matrix) {
            const double angle = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
            if (std::isfinite(angle)) {
                rotation = static_cast<int>(std::lround(angle)) % 360;
                if (rotation < 0) rotation += 360;
            }
        }
        skip_allowed = opt.skip_nonref && nonref_skip_is_safe(par->codec_id);
        byte_seek = prefers_byte_seek(fmt.get());
        pending = draining = at_eof = false;
        positioned = false;
        ++stats.reopens;
        return true;
    }

    // Lists the video packets once, without decoding, in a separate context
    // so that the decoding context starts exactly like OpenCV's.  Returns
    // false if the index cannot identify frames (missing or repeated pts).
    bool build_index() {
        int s = -1;
        FormatPtr f = open_input(path, s);
        if (!f) return false;
        PacketPtr p(av_packet_alloc());
        if (!p) return false;
        while (av_read_frame(f.get(), p.get()) >= 0) {
            if (p->stream_index == s)
                packets.push_back(
                    {p->pts, p->dts, p->pos, (p->flags & AV_PKT_FLAG_KEY) != 0, (p->flags & AV_PKT_FLAG_DISCARD) != 0});
            av_packet_unref(p.get());
        }
        std::vector<int64_t> shown;
        for (size_t i = 0; i < packets.size(); ++i) {
            const PacketInfo& pi = packets[i];
            if (pi.pts == AV_NOPTS_VALUE) {
                if (!pi.discard) return false;
                continue;
            }
            if (!pos_of_pts.emplace(pi.pts, static_cast<int64_t>(i)).second) return false;
            if (!pi.discard) shown.push_back(static_cast<int64_t>(i));
        }
        if (shown.empty()) return false;
        std::sort(shown.begin(), shown.end(), [this](int64_t a, int64_t b) { return packets[a].pts < packets[b].pts; });
        for (size_t r = 0; r < shown.size(); ++r) packets[shown[r]].rank = static_cast<int64_t>(r);
        by_rank = std::move(shown);
        // The file start is always a valid place to begin: it is where OpenCV begins.
        starts.push_back(0);
        for (size_t i = 1; i < packets.size(); ++i)
            if (packets[i].key && packets[i].pts != AV_NOPTS_VALUE) starts.push_back(static_cast<int64_t>(i));
        return true;
    }

    // Decodes the first frame from the start of the file: its rank is frame
    // 0 (a decoder may drop undecodable leading frames).  Keeps it grabbed.
    bool calibrate() {
        positioned = true;
        next_packet = 0;
        last_rank = -1;
        skip_below_pts = skip_after_pts = INT64_MIN;
        target_packet = -1;
        drain_at_target = false;
        const Step st = next_frame();
        if (st == Step::End) {  // nothing decodable: an empty video
            count = 0;
            return true;
        }
        if (st != Step::Got) return false;
        const auto it = pos_of_pts.find(frame_pts(work.get()));
        if (it == pos_of_pts.end() || packets[it->second].rank < 0) return false;
        first_rank = packets[it->second].rank;
        last_rank = first_rank;
        count = static_cast<int64_t>(by_rank.size()) - first_rank;
        keep_work_as(0);
        return true;
    }

    void enter_sequential() {
        mode = Mode::Sequential;
        packets.clear();
        by_rank.clear();
        starts.clear();
        pos_of_pts.clear();
        count = -1;
        cur_index = -1;
        av_frame_unref(cur.get());
        positioned = true;  // open_decoder() just positioned us at the start
        seq_next = 0;
        skip_below_pts = skip_after_pts = INT64_MIN;  // frames are counted: drop none
        target_packet = -1;
        drain_at_target = false;
    }

    void keep_work_as(int64_t index) {
        av_frame_unref(cur.get());
        av_frame_move_ref(cur.get(), work.get());
        cur_index = index;
    }

    // ---- packet and frame flow ------------------------------------------

    bool read_video_packet() {
        for (;;) {
            av_packet_unref(pkt.get());
            if (av_read_frame(fmt.get(), pkt.get()) < 0) return false;
            if (pkt->stream_index == stream) return true;
        }
    }

    // Next frame from the decoder, feeding packets as needed.  In Indexed
    // mode every packet read must be the next one of the index.
    Step next_frame() {
        int errors = 0;
        for (;;) {
            const int r = avcodec_receive_frame(dec.get(), work.get());
            if (r == 0) {
                ++stats.frames_decoded;
                return Step::Got;
            }
            if (r == AVERROR_EOF) {
                at_eof = true;
                return Step::End;
            }
            if (r != AVERROR(EAGAIN) && ++errors > kMaxDecodeErrors) return Step::Error;
            if (draining) {
                if (r == AVERROR(EAGAIN)) return Step::End;
                continue;
            }
            if (drain_at_target && !pending && next_packet > target_packet) {
                avcodec_send_packet(dec.get(), nullptr);  // target sent: get it out now
                draining = true;
                continue;
            }
            if (!pending && !read_video_packet()) {
                avcodec_send_packet(dec.get(), nullptr);  // flush delayed frames
                draining = true;
                continue;
            }
            if (mode != Mode::Sequential && !packets.empty()) {
                if (next_packet >= static_cast<int64_t>(packets.size()) || packets[next_packet].pts != pkt->pts)
                    return Step::Inconsistent;
            }
            const int64_t below = next_packet > target_packet ? skip_after_pts : skip_below_pts;
            dec->skip_frame =
                (skip_allowed && pkt->pts != AV_NOPTS_VALUE && pkt->pts < below) ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
            const int s = avcodec_send_packet(dec.get(), pkt.get());
            if (s == AVERROR(EAGAIN)) {  // not expected after EAGAIN above; retry later
                pending = true;
                continue;
            }
            pending = false;
            av_packet_unref(pkt.get());
            ++stats.packets_sent;
            ++next_packet;
            if (s < 0 && ++errors > kMaxDecodeErrors) return Step::Error;
        }
    }

    // Positions the demuxer at packet `s` (decode order) with a flushed
    // decoder.  The packet itself is left pending in `pkt`.
    bool seek_to_packet(int64_t s) {
        ++stats.seeks;
        avcodec_flush_buffers(dec.get());
        pending = draining = at_eof = false;
        positioned = false;
        const PacketInfo& k = packets[s];
        int r;
        if (byte_seek && k.pos >= 0) {
            r = av_seek_frame(fmt.get(), stream, k.pos, AVSEEK_FLAG_BYTE);
        } else {
            const int64_t ts = k.dts != AV_NOPTS_VALUE ? k.dts : k.pts;
            r = av_seek_frame(fmt.get(), stream, ts, AVSEEK_FLAG_BACKWARD);
        }
        if (r < 0 || !skip_to(s)) {
            // Container seek missed: start over from the file start.
            if (!open_decoder() || !skip_to(s)) return false;
        }
        positioned = true;
        next_packet = s;
        last_rank = -1;
        return true;
    }

    // Reads packets without decoding until packet `s`; false if it is passed.
    bool skip_to(int64_t s) {
        int unknown = 0;
        while (read_video_packet()) {
            const auto it = pos_of_pts.find(pkt->pts);
            if (it == pos_of_pts.end()) {
                if (++unknown > kMaxDecodeErrors) return false;
                continue;
            }
            if (it->second == s) {
                pending = true;
                return true;
            }
            if (it->second > s) return false;
        }
        return false;
    }

    // Decodes until the frame of rank `rank` comes out.
    Outcome decode_until(int64_t rank) {
        for (;;) {
            const Step st = next_frame();
            if (st == Step::End) return Outcome::Missing;
            if (st == Step::Error) return Outcome::Failed;
            if (st == Step::Inconsistent) return Outcome::Inconsistent;
            const int64_t ts = frame_pts(work.get());
            const auto it = pos_of_pts.find(ts);
            if (it == pos_of_pts.end()) return Outcome::Inconsistent;
            const int64_t r = packets[it->second].rank;
            if (r < 0) {  // from a packet the container marks as discarded
                av_frame_unref(work.get());
                continue;
            }
            // Frames come out in display order.  Leading pictures of an
            // open-GOP seek start (if the decoder returns them at all) come
            // before the start frame and are passed over like any frame
            // before the target.
            if (r <= last_rank) return Outcome::Inconsistent;
            last_rank = r;
            if (r == rank) return Outcome::Found;
            av_frame_unref(work.get());
            if (r > rank) return Outcome::Missing;  // the decoder never returned the target
        }
    }

    // Latest start at or before decode position `d` whose frames include
    // display time `pts`: an open-GOP I-frame cannot give the leading
    // B-frames that follow it in decode order but precede it in display order.
    int64_t start_before(int64_t d, int64_t pts) const {
        auto it = std::upper_bound(starts.begin(), starts.end(), d);
        --it;  // starts[0] == 0 <= d
        while (*it != 0 && packets[*it].pts > pts) --it;
        return *it;
    }

    bool grab_indexed(int64_t index) {
        if (index >= count) return false;
        if (index == cur_index) return true;
        const int64_t rank = first_rank + index;
        const int64_t d = by_rank[rank];
        const int64_t pts = packets[d].pts;
        int64_t s = start_before(d, pts);
        // Decode forward if the decoder already holds a valid state leading
        // to the target, i.e. no keyframe we could jump to lies ahead of it.
        bool forward = positioned && !at_eof && rank > last_rank && s <= next_packet;
        cur_index = -1;
        av_frame_unref(cur.get());

        // Ascending lists at a fixed step are the common pattern: guess the
        // next request so that frames decoded past the target (reordering and
        // thread delay) which lie before it may be dropped too.  A wrong
        // guess only costs a seek: the retry below starts afresh.
        target_packet = d;
        skip_below_pts = skip_after_pts = pts;
        const int64_t step = index - prev_index;
        if (prev_index >= 0 && step > 0 && step == prev_step && index + step < count)
            skip_after_pts = std::max(pts, packets[by_rank[rank + step]].pts);
        prev_step = step;
        prev_index = index;
        // After two seeks in a row the next request will likely seek as
        // well: flush the decoder right after the target's packet instead of
        // decoding the frames that would push the target out.
        drain_at_target = drain_ok && !forward && last_seeked;
        last_seeked = !forward;

        for (;;) {
            if (!forward && !seek_to_packet(s)) return false;
            const Outcome o = decode_until(rank);
            if (o == Outcome::Found) {
                if (drain_at_target) positioned = false;
                keep_work_as(index);
                return true;
            }
            if (o == Outcome::Inconsistent) return switch_to_sequential(index);
            // Target not produced.  Retry from the same start with a fresh,
            // undrained decoder, then from earlier starts.
            positioned = false;
            ++stats.fallbacks;
            if (drain_at_target) {
                // H.264 drops open-GOP frames on flush that are not yet
                // marked recovered; stop flushing early for this file.
                drain_ok = drain_at_target = false;
            } else if (!forward) {
                // From the file start every frame must come out, as it does
                // for OpenCV: the index does not describe this file.
                if (s == 0) return switch_to_sequential(index);
                s = start_before(s - 1, pts);
            }
            forward = false;
        }
    }

    bool switch_to_sequential(int64_t index) {
        if (!open_decoder()) return false;
        enter_sequential();
        return grab_sequential(index);
    }

    bool grab_sequential(int64_t index) {
        if (index == cur_index) return true;
        if (count >= 0 && index >= count) return false;
        if (!positioned || index < seq_next) {
            if (!open_decoder()) return false;
            ++stats.seeks;
            positioned = true;
            seq_next = 0;
        }
        cur_index = -1;
        av_frame_unref(cur.get());
        for (;;) {
            const Step st = next_frame();
            if (st != Step::Got) {
                if (st == Step::End) count = seq_next;
                positioned = false;
                return false;
            }
            if (seq_next++ == index) {
                keep_work_as(index);
                return true;
            }
            av_frame_unref(work.get());
        }
    }

    bool grab_opencv(int64_t index) {
        if (index == cur_index) return true;
        cur_index = -1;
        if (index < cap_next || index - cap_next > opt.opencv_forward_limit) {
            cap.set(cv::CAP_PROP_POS_FRAMES, static_cast<double>(index));
            ++stats.seeks;
            cap_next = index;
        }
        while (cap_next <= index) {
            if (!cap.grab()) {
                cap_next = INT64_MAX;  // unknown position: seek next time
                return false;
            }
            ++cap_next;
        }
        cur_index = index;
        return true;
    }

    // ---- conversion ------------------------------------------------------

    // Mirrors OpenCV 4.6's retrieveFrame(): the conversion context and the
    // BGR buffer are (re)made only when the decoder's width/height change,
    // from the decoded pixel format at coded size, bicubic, buffer aligned
    // to 32; the whole coded height is converted and the top-left
    // width x height is the image, rotated per the display matrix.
    bool convert(cv::Mat& out) {
        const AVFrame* f = cur.get();
        if (!f->data[0]) return false;
        if (!sws || conv_w != dec->width || conv_h != dec->height) {
            const int bw = dec->coded_width, bh = dec->coded_height;
            sws.reset(sws_getCachedContext(sws.release(), bw, bh, static_cast<AVPixelFormat>(f->format), bw, bh,
                                           AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
            if (!sws) return false;
            av_frame_unref(bgr.get());
            bgr->format = AV_PIX_FMT_BGR24;
            bgr->width = bw;
            bgr->height = bh;
            if (av_frame_get_buffer(bgr.get(), 32) != 0) {
                sws.reset();
                return false;
            }
            conv_w = dec->width;
            conv_h = dec->height;
        }
        sws_scale(sws.get(), f->data, f->linesize, 0, dec->coded_height, bgr->data, bgr->linesize);
        ++stats.frames_converted;
        const cv::Mat image(conv_h, conv_w, CV_8UC3, bgr->data[0], static_cast<size_t>(bgr->linesize[0]));
        switch (rotation) {
            case 90: cv::rotate(image, out, cv::ROTATE_90_CLOCKWISE); break;
            case 180: cv::rotate(image, out, cv::ROTATE_180); break;
            case 270: cv::rotate(image, out, cv::ROTATE_90_COUNTERCLOCKWISE); break;
            default: image.copyTo(out); break;
        }
        return true;
    }

    // ---- public entry points -------------------------------------------

    bool grab(int64_t index) {
        index = std::max<int64_t>(index, 0);
        bool ok = false;
        switch (mode) {
            case Mode::Indexed: ok = grab_indexed(index); break;
            case Mode::Sequential: ok = grab_sequential(index); break;
            case Mode::OpenCV: ok = grab_opencv(index); break;
            case Mode::Closed: break;
        }
        if (!ok) {  // like VideoCapture: after a failed grab there is nothing to retrieve
            cur_index = -1;
            av_frame_unref(cur.get());
        }
        return ok;
    }

    bool retrieve(cv::Mat& out) {
        bool ok = false;
        if (cur_index >= 0) {
            if (mode == Mode::OpenCV)
                ok = cap.retrieve(out) && !out.empty();
            else if (mode != Mode::Closed)
                ok = convert(out);
        }
        if (!ok) out.release();
        return ok;
    }
};

FrameReader::FrameReader(const std::string& path) : FrameReader(path, Options()) {}

FrameReader::FrameReader(const std::string& path, const Options& options) : impl_(new Impl(path, options)) {
    try {
        impl_->open();
    } catch (const std::exception&) {  // e.g. OpenCV errors from a fallback backend
        impl_->mode = Mode::Closed;
    }
    impl_->stats.reopens = 0;  // count only reopens after construction
}

FrameReader::~FrameReader() = default;
FrameReader::FrameReader(FrameReader&&) noexcept = default;
FrameReader& FrameReader::operator=(FrameReader&&) noexcept = default;

bool FrameReader::is_open() const { return impl_ && impl_->mode != Mode::Closed; }
FrameReader::Mode FrameReader::mode() const { return impl_ ? impl_->mode : Mode::Closed; }
cv::Size FrameReader::frame_size() const { return impl_ ? impl_->frame_size() : cv::Size(); }
int64_t FrameReader::frame_count() const { return impl_ ? impl_->count : -1; }
int64_t FrameReader::position() const { return impl_ ? impl_->cur_index : -1; }
FrameReader::Stats FrameReader::stats() const { return impl_ ? impl_->stats : Stats(); }

bool FrameReader::grab(int64_t index) { return impl_ && impl_->grab(index); }

bool FrameReader::retrieve(cv::Mat& out) {
    if (!impl_) {
        out.release();
        return false;
    }
    return impl_->retrieve(out);
}

bool FrameReader::read(int64_t index, cv::Mat& out) {
    if (!grab(index)) {
        out.release();
        return false;
    }
    return retrieve(out);
}

}  // namespace common
