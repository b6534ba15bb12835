// FrameReader: how each frame is located.
//
// Modes (chosen at open):
//  - Indexed: a frame's number is the display rank of its packet's pts among
//    the frames of the packet index, shifted so that frame 0 is the first
//    frame the decoder returns from the start of the file (what
//    VideoCapture::read() returns first).  Decoded frames are identified by
//    their pts.  A frame is reached by decoding forward unless a keyframe
//    lies between the decoder's position and the frame; then the reader
//    seeks to the last keyframe before it (an earlier one for open-GOP
//    leading frames).
//  - Sequential: used when the index cannot be trusted (missing or repeated
//    pts, decoded frames that do not match the index).  Frames are counted
//    from the start of the file, going backwards reopens the file.  Exact,
//    but slow for backward or far jumps.
//  - OpenCV: libavformat cannot open the file or it has no decodable video
//    stream; cv::VideoCapture (any backend) is used.  Not guaranteed exact.

#include "common/frame_reader.hpp"

#include <algorithm>
#include <utility>

#include "common/bgr_conversion.hpp"
#include "common/ffmpeg_handles.hpp"
#include "common/interrupt.hpp"
#include "common/opencv_fallback.hpp"
#include "common/packet_index.hpp"
#include "common/video_decoder.hpp"

namespace common {

namespace {

// How far ahead an IDR picture may lie for the reader to read on to it
// rather than seek (reading packets without decoding them costs little).
constexpr int64_t kPacketsLeftOutRatherThanSeek = 120;

// Going on keeps the decoder's threads busy, but a frame comes out of them
// only a few packets after its own, so the frames after the target are
// decoded too: worth it when the next target itself needs at least this
// many packets decoded from its IDR picture.  A target at (or just after)
// an IDR picture is better reached by a seek, and the decoder flushed after
// it (see flush_after_target).
constexpr int64_t kPipelineFrames = 4;

}  // namespace

struct FrameReader::Impl {
    enum class Outcome { Found, Missing, Inconsistent, Failed };

    std::string path;
    Options options;
    Mode mode = Mode::Closed;
    std::string open_error;
    std::string index_problem;
    DecoderCounters counters;
    int64_t frames_converted = 0;
    int64_t fallbacks = 0;

    VideoDecoder decoder;
    FramePtr examined{av_frame_alloc()};  // frame coming out of the decoder
    FramePtr grabbed{av_frame_alloc()};   // the frame grab() stopped at
    int64_t grabbed_index = -1;
    BgrConverter converter;
    OpenCVFallback fallback;

    // Indexed mode.
    std::shared_ptr<const PacketIndex> index;
    int64_t first_rank = 0;  // display rank of the first frame decoded from the file start
    int64_t frame_count = -1;
    bool positioned = false;      // the decoder's state leads on from last_rank
    bool from_file_start = true;  // the decoder began at the file start, as OpenCV does
    int64_t last_rank = -1;       // rank of the last frame the decoder returned
    VideoDecoder::Guide guide;    // how the packets of the current request are sent
    bool flush_is_safe = true;    // cleared when a flush lost a frame (open GOPs)
    bool last_request_seeked = false;
    int64_t previous_index = -1, previous_step = 0;

    // Frame 0 counts as grabbed but is decoded only when it is retrieved or
    // read (an index calibrated by an earlier reader).
    bool first_frame_deferred = false;

    // Sequential mode: index of the next frame the decoder returns.
    int64_t next_counted = 0;

    Impl(std::string p, const Options& o)
        : path(std::move(p)), options(o), decoder(path, o.threads, o.skip_nonref, counters) {}

    // ---- opening -------------------------------------------------------

    void open() {
        if (!examined || !grabbed) {
            open_error = "out of memory";
            return;
        }
        if (options.prefer == Mode::OpenCV) {
            open_with_opencv("");
            return;
        }
        if (options.prefer == Mode::Indexed) index = PacketIndex::of_file(path, index_problem);
        std::string error;
        if (!decoder.open(error)) {
            index.reset();
            open_with_opencv(error);
            return;
        }
        if (index) {
            if (const auto known = index->calibration()) {
                // Known from an earlier reader of the file: frame 0 is decoded
                // when it is first asked for, from the decoder just opened at
                // the start.
                first_rank = known->first_rank;
                frame_count = known->frame_count;
                positioned = from_file_start = true;
                last_rank = -1;
                guide = VideoDecoder::Guide{};
                guide.index = index.get();
                first_frame_deferred = frame_count > 0;
                mode = Mode::Indexed;
                index_problem.clear();
                return;
            }
            if (calibrate()) {
                index->remember({first_rank, frame_count});
                mode = Mode::Indexed;
                index_problem.clear();
                return;
            }
            index_problem = "the first decoded frame is not one of the index";
            if (!decoder.open(error)) {  // calibration consumed packets: start again
                open_with_opencv(error);
                return;
            }
        } else if (options.prefer != Mode::Indexed) {
            index_problem = "counting asked for";
        }
        enter_sequential();
    }

    void open_with_opencv(const std::string& ffmpeg_error) {
        std::string error;
        if (fallback.open(path, error)) {
            mode = Mode::OpenCV;
            open_error.clear();
            return;
        }
        open_error = ffmpeg_error.empty() ? error : ffmpeg_error;
    }

    cv::Size frame_size() const {
        if (mode == Mode::OpenCV) return fallback.frame_size();
        if (mode == Mode::Closed) return {};
        return decoder.picture_size();
    }

    // Decodes the first frame from the start of the file: its rank is frame
    // 0 (a decoder may drop undecodable leading frames).  Keeps it grabbed.
    bool calibrate() {
        positioned = true;
        from_file_start = true;
        last_rank = -1;
        guide = VideoDecoder::Guide{};
        guide.index = index.get();
        const VideoDecoder::Step step = decoder.next_frame(examined.get(), guide);
        if (step == VideoDecoder::Step::End) {  // nothing decodable: an empty video
            frame_count = 0;
            return true;
        }
        if (step != VideoDecoder::Step::Got) return false;
        const int64_t at = index->frame_with_pts(frame_pts(examined.get()));
        if (at < 0 || index->packet(at).display_rank < 0) return false;
        first_rank = index->packet(at).display_rank;
        last_rank = first_rank;
        frame_count = index->frames() - first_rank;
        keep_examined_as(0);
        return true;
    }

    void enter_sequential() {
        mode = Mode::Sequential;
        index.reset();
        frame_count = -1;
        grabbed_index = -1;
        av_frame_unref(grabbed.get());
        positioned = true;  // the decoder was just opened at the start
        next_counted = 0;
        guide = VideoDecoder::Guide{};  // frames are counted: drop none
    }

    void keep_examined_as(int64_t frame) {
        av_frame_unref(grabbed.get());
        av_frame_move_ref(grabbed.get(), examined.get());
        grabbed_index = frame;
    }

    // ---- Indexed mode ----------------------------------------------------

    // Decodes until the frame of rank `rank` comes out.
    Outcome decode_until(int64_t rank) {
        for (;;) {
            const VideoDecoder::Step step = decoder.next_frame(examined.get(), guide);
            if (step == VideoDecoder::Step::End) return Outcome::Missing;
            if (step == VideoDecoder::Step::Error) return Outcome::Failed;
            if (step == VideoDecoder::Step::Inconsistent) return Outcome::Inconsistent;
            const int64_t at = index->frame_with_pts(frame_pts(examined.get()));
            if (at < 0) return Outcome::Inconsistent;
            const int64_t r = index->packet(at).display_rank;
            if (r < 0) {  // from a packet the container marks as discarded
                av_frame_unref(examined.get());
                continue;
            }
            // Frames come out in display order.  Leading pictures of an
            // open-GOP seek start (if the decoder returns them at all) come
            // before the start frame and are passed over like any frame
            // before the target.
            if (r <= last_rank) return Outcome::Inconsistent;
            last_rank = r;
            if (r == rank) {
                // A frame the decoder marks as damaged (its references lie
                // before a recovery point we started from) is what OpenCV
                // gives only when it too started there: at the file start.
                if (!from_file_start && (examined->flags & AV_FRAME_FLAG_CORRUPT || examined->decode_error_flags)) {
                    av_frame_unref(examined.get());
                    return Outcome::Missing;
                }
                return Outcome::Found;
            }
            av_frame_unref(examined.get());
            if (r > rank) return Outcome::Missing;  // the decoder never returned the target
        }
    }

    bool grab_indexed(int64_t frame) {
        if (frame >= frame_count) return false;
        if (frame == grabbed_index) return true;
        const int64_t rank = first_rank + frame;
        const int64_t target = index->decode_position_of_rank(rank);
        const int64_t pts = index->packet(target).pts;
        int64_t start = index->start_before(target, pts);
        // Decode forward if the decoder already holds a valid state leading
        // to the target, i.e. no keyframe we could jump to lies ahead of it.
        bool forward = positioned && !decoder.at_end() && rank > last_rank && start <= decoder.next_packet();
        // An IDR picture shortly ahead: go on into it, leaving out the
        // packets before it, rather than seek.
        guide.send_from = -1;
        if (!forward && positioned && !decoder.at_end() && rank > last_rank && index->packet(start).idr &&
            start - decoder.next_packet() <= kPacketsLeftOutRatherThanSeek && target - start >= kPipelineFrames) {
            forward = true;
            guide.send_from = start;
        }
        // The target's frame ends with its second field, if it has one.
        int64_t target_end = target;
        while (target_end + 1 < index->packet_count() && index->packet(target_end + 1).second_field) ++target_end;
        guide.target_packet = target_end;
        grabbed_index = -1;
        av_frame_unref(grabbed.get());

        // Ascending lists at a fixed step are the common pattern: guess the
        // next request so that frames decoded past the target (reordering and
        // thread delay) which lie before it may be dropped too.  A wrong
        // guess only costs a seek: the retry below starts afresh.
        guide.skip_below_pts = guide.skip_after_pts = pts;
        const int64_t step = frame - previous_index;
        guide.resume_at = -1;
        if (previous_index >= 0 && step > 0 && step == previous_step && frame + step < frame_count) {
            const int64_t guessed = index->decode_position_of_rank(rank + step);
            const int64_t guessed_pts = index->packet(guessed).pts;
            guide.skip_after_pts = std::max(pts, guessed_pts);
            const int64_t guessed_start = index->start_before(guessed, guessed_pts);
            if (guessed_start > target_end && index->packet(guessed_start).idr &&
                guessed_start - target_end <= kPacketsLeftOutRatherThanSeek &&
                guessed - guessed_start >= kPipelineFrames)
                guide.resume_at = guessed_start;
        }
        previous_step = step;
        previous_index = frame;
        // After two seeks in a row the next request will likely seek as
        // well: flush the decoder right after the target's packet instead of
        // decoding the frames that would push the target out.
        guide.flush_after_target = flush_is_safe && !forward && last_request_seeked && guide.resume_at < 0;
        last_request_seeked = !forward;

        for (;;) {
            if (!forward) {
                guide.send_from = -1;
                if (!decoder.seek_to_packet(*index, start)) return false;
                positioned = true;
                from_file_start = start == 0;
                last_rank = -1;
            }
            const Outcome outcome = decode_until(rank);
            if (outcome == Outcome::Found) {
                if (guide.flush_after_target) positioned = false;
                keep_examined_as(frame);
                return true;
            }
            if (outcome == Outcome::Inconsistent) return switch_to_sequential(frame);
            // Target not produced.  Retry from the same start with a fresh,
            // unflushed decoder, then from earlier starts.
            positioned = false;
            ++fallbacks;
            if (guide.flush_after_target) {
                // H.264 drops open-GOP frames on flush that are not yet
                // marked recovered; stop flushing early for this file.
                flush_is_safe = guide.flush_after_target = false;
            } else if (!forward) {
                // From the file start every frame must come out, as it does
                // for OpenCV: the index does not describe this file.
                if (start == 0) return switch_to_sequential(frame);
                start = index->start_before(start - 1, pts);
            }
            forward = false;
        }
    }

    bool switch_to_sequential(int64_t frame) {
        index_problem = "decoded frames do not match the packet index";
        if (!decoder.open()) return false;
        enter_sequential();
        return grab_sequential(frame);
    }

    // ---- Sequential mode -------------------------------------------------

    bool grab_sequential(int64_t frame) {
        if (frame == grabbed_index) return true;
        if (frame_count >= 0 && frame >= frame_count) return false;
        if (!positioned || frame < next_counted) {
            if (!decoder.open()) return false;
            ++counters.seeks;
            positioned = true;
            next_counted = 0;
        }
        grabbed_index = -1;
        av_frame_unref(grabbed.get());
        for (;;) {
            const VideoDecoder::Step step = decoder.next_frame(examined.get(), guide);
            if (step != VideoDecoder::Step::Got) {
                if (step == VideoDecoder::Step::End) frame_count = next_counted;
                positioned = false;
                return false;
            }
            if (next_counted++ == frame) {
                keep_examined_as(frame);
                return true;
            }
            av_frame_unref(examined.get());
        }
    }

    // ---- entry points ----------------------------------------------------

    bool grab(int64_t frame) {
        frame = std::max<int64_t>(frame, 0);
        first_frame_deferred = false;
        bool ok = false;
        switch (mode) {
            case Mode::Indexed: ok = grab_indexed(frame); break;
            case Mode::Sequential: ok = grab_sequential(frame); break;
            case Mode::OpenCV:
                ok = frame == grabbed_index || fallback.grab(frame, options.opencv_forward_limit, counters.seeks);
                if (ok) grabbed_index = frame;
                break;
            case Mode::Closed: break;
        }
        if (!ok) {  // like VideoCapture: after a failed grab there is nothing to retrieve
            grabbed_index = -1;
            av_frame_unref(grabbed.get());
        }
        return ok;
    }

    bool retrieve(cv::Mat& out) {
        if (first_frame_deferred) grab(0);
        bool ok = false;
        if (grabbed_index >= 0) {
            if (mode == Mode::OpenCV) {
                ok = fallback.retrieve(out);
            } else if (mode != Mode::Closed) {
                const AVCodecContext* codec = decoder.codec();
                ok = converter.convert(grabbed.get(), codec->width, codec->height, codec->coded_width,
                                       codec->coded_height, decoder.rotation(), out);
                if (ok) ++frames_converted;
            }
        }
        if (!ok) out.release();
        return ok;
    }

    int64_t count_frames() {
        if (mode == Mode::Sequential && frame_count < 0) {
            const int64_t keep = grabbed_index;
            int64_t probe = std::max<int64_t>(next_counted, 0);
            while (grab_sequential(probe)) ++probe;
            if (keep >= 0) grab_sequential(keep);
        }
        return frame_count;
    }
};

FrameReader::FrameReader(const std::string& path) : FrameReader(path, Options()) {}

FrameReader::FrameReader(const std::string& path, const Options& options) : impl_(new Impl(path, options)) {
    try {
        impl_->open();
    } catch (const Interrupted&) {
        throw;                           // Ctrl-C while the file was indexed: not a file that cannot be read
    } catch (const std::exception& e) {  // e.g. OpenCV errors from a fallback backend
        impl_->mode = Mode::Closed;
        impl_->open_error = e.what();
    }
    impl_->counters.reopens = 0;  // count only reopens after construction
}

FrameReader::~FrameReader() = default;
FrameReader::FrameReader(FrameReader&&) noexcept = default;
FrameReader& FrameReader::operator=(FrameReader&&) noexcept = default;

namespace {
const std::string closed_reader = "the reader was moved from";
const std::string no_problem;
}  // namespace

bool FrameReader::is_open() const { return impl_ && impl_->mode != Mode::Closed; }
FrameReader::Mode FrameReader::mode() const { return impl_ ? impl_->mode : Mode::Closed; }
const std::string& FrameReader::open_error() const { return impl_ ? impl_->open_error : closed_reader; }
const std::string& FrameReader::index_problem() const { return impl_ ? impl_->index_problem : no_problem; }
cv::Size FrameReader::frame_size() const { return impl_ ? impl_->frame_size() : cv::Size(); }
int64_t FrameReader::frame_count() const { return impl_ ? impl_->frame_count : -1; }
int64_t FrameReader::count_frames() { return impl_ ? impl_->count_frames() : -1; }
int64_t FrameReader::position() const {
    if (!impl_) return -1;
    return impl_->first_frame_deferred ? 0 : impl_->grabbed_index;
}

FrameReader::Stats FrameReader::stats() const {
    Stats s;
    if (!impl_) return s;
    s.seeks = impl_->counters.seeks;
    s.reopens = impl_->counters.reopens;
    s.packets_sent = impl_->counters.packets_sent;
    s.frames_decoded = impl_->counters.frames_decoded;
    s.frames_converted = impl_->frames_converted;
    s.fallbacks = impl_->fallbacks;
    return s;
}

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
