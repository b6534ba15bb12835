// Which H.264 packets begin a new frame.
//
// An interlaced H.264 stream may code a frame as two field pictures (PAFF).
// Containers then carry a packet per field (MPEG-TS as ffmpeg writes it,
// or a camcorder's PES of a whole frame split by libavformat's parser), but
// the decoder returns one frame per field pair.  FieldPairing reads the
// slice headers of each packet and tells, as FFmpeg's decoder decides it,
// whether the packet's first picture is the second field of the frame
// begun by the packet before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace common {

class FieldPairing {
public:
    // `extradata` is the stream's codec extradata (avcC or Annex B parameter
    // sets); `length_prefixed` is known from it.
    FieldPairing(const uint8_t* extradata, size_t size);

    // Reads the NAL units of the next packet in decode order.  True when the
    // packet's first picture completes the field pair of the packet before
    // (it is then no frame of its own).
    bool completes_previous_frame(const uint8_t* data, size_t size);

private:
    struct SequenceParameters {
        bool known = false;
        bool separate_colour_planes = false;
        int frame_num_bits = 4;
        bool frame_pictures_only = true;
    };
    enum class Structure { Frame, TopField, BottomField };
    struct Picture {
        Structure structure;
        int frame_num;
        bool reference;
    };

    void read_nal(const uint8_t* nal, size_t size, bool& first_picture_seen, bool& completes);
    bool read_slice_header(const std::vector<uint8_t>& rbsp, int ref_idc, Picture& picture) const;
    void read_sps(const std::vector<uint8_t>& rbsp);
    void read_pps(const std::vector<uint8_t>& rbsp);
    void for_each_nal(const uint8_t* data, size_t size, bool& first_picture_seen, bool& completes);

    int length_size_ = 0;  // NAL length prefix size (avcC), 0 for Annex B start codes
    std::vector<SequenceParameters> sps_ = std::vector<SequenceParameters>(32);
    std::vector<int> sps_of_pps_ = std::vector<int>(256, -1);
    bool open_first_field_ = false;  // the last picture was a first field still unpaired
    Picture last_{Structure::Frame, 0, true};
};

}  // namespace common
