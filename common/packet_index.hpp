// The packet index of a video file: every video packet in decode order with
// its timestamps, byte position and keyframe flag, the display-order number
// of every packet that begins a frame, and the packets where decoding may
// begin.  Built by demuxing only (no decoding), once per file and process:
// later readers of an unchanged file share it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace common {

class PacketIndex {
public:
    struct Packet {
        int64_t pts;
        int64_t dts;
        int64_t byte_position;      // -1 when unknown
        bool keyframe;              // the container's flag
        bool intra;                 // a picture coded on its own (for H.264 read from the slice; else the flag)
        bool idr;                   // an H.264 IDR picture: decoding may go on into it from anywhere before
        bool discarded;             // the container marks it as not shown (edit lists); never a frame
        bool second_field;          // the second field of the frame begun by the packet before
        int64_t frame_pts;          // pts of the frame the packet belongs to (its own, or its first field's)
        int64_t display_rank = -1;  // display-order number among frames, -1 for no frame of its own
    };

    // The index of the video file `path`, from this process's cache when the
    // file (size and modification time) is unchanged.  Null when the
    // timestamps cannot identify frames (missing or repeated pts of frames);
    // `why_not` then says why.
    static std::shared_ptr<const PacketIndex> of_file(const std::string& path, std::string& why_not);

    // Drops the cached indexes (tests, or a file known to have changed).
    static void forget_all();

    const std::vector<Packet>& packets() const { return packets_; }
    const Packet& packet(int64_t decode_position) const { return packets_[decode_position]; }
    int64_t packet_count() const { return static_cast<int64_t>(packets_.size()); }

    // Number of frames, i.e. packets with a display rank.
    int64_t frames() const { return static_cast<int64_t>(by_rank_.size()); }
    int64_t decode_position_of_rank(int64_t rank) const { return by_rank_[rank]; }

    // Decode position of the frame-starting packet with this pts, -1 if none.
    int64_t frame_with_pts(int64_t pts) const;

    // Latest decoding start at or before decode position `position` whose
    // frames include display time `pts`: an open-GOP keyframe cannot give
    // the leading frames that follow it in decode order but precede it in
    // display order.  The file start (position 0) is always a start.
    int64_t start_before(int64_t position, int64_t pts) const;

    // The first decoding start after decode position `position`, or
    // packet_count() when there is none.
    int64_t next_start_after(int64_t position) const;

    // Where frame 0 lies, as the first reader of the file found by decoding
    // from its start (a cut recording begins with frames the decoder drops),
    // so that later readers need not decode it again to know.
    struct Calibration {
        int64_t first_rank;   // display rank of the first frame decoded from the file start
        int64_t frame_count;  // frames a forward read delivers
    };
    std::optional<Calibration> calibration() const;
    void remember(const Calibration& found) const;

    // Whether the container's seek by byte position is reliable for it
    // (MPEG-TS / PS have no seek index; their timestamp seek lands anywhere).
    bool byte_seekable() const { return byte_seek_; }

private:
    static std::shared_ptr<const PacketIndex> build(const std::string& path, std::string& why_not);

    std::vector<Packet> packets_;
    std::vector<int64_t> by_rank_;
    std::vector<int64_t> starts_;
    std::unordered_map<int64_t, int64_t> frame_of_pts_;
    bool byte_seek_ = false;
    mutable std::mutex calibration_mutex_;
    mutable std::optional<Calibration> calibration_;
};

}  // namespace common
