// What the packets of an H.264 stream hold: whether a packet begins a new
// frame, and whether its picture is intra-coded.
//
// An interlaced H.264 stream may code a frame as two field pictures (PAFF).
// Containers then carry a packet per field (MPEG-TS as ffmpeg writes it,
// or a camcorder's PES of a whole frame split by libavformat's parser), but
// the decoder returns one frame per field pair.  H264Pictures reads the
// slice headers of each packet and tells, as FFmpeg's decoder decides it,
// whether the packet's first picture is the second field of the frame
// begun by the packet before.
//
// Containers flag recovery points as keyframes too, also P pictures that
// begin an intra refresh; decoding started there gives wrong pixels until
// the refresh is complete, so only intra-coded pictures make places to
// start decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace common {

class H264Pictures {
public:
    // `extradata` is the stream's codec extradata (avcC or Annex B parameter
    // sets); `length_prefixed` is known from it.
    H264Pictures(const uint8_t* extradata, size_t size);

    struct PacketPictures {
        bool understood = false;                // the packet holds a picture whose header could be read
        bool completes_previous_frame = false;  // its first picture is the second field of the frame before
        bool intra = false;                     // its first picture is coded without reference to others
        bool idr = false;  // its first picture is an IDR picture: nothing after it refers to what came before
    };

    // Reads the NAL units of the next packet in decode order.
    PacketPictures read_packet(const uint8_t* data, size_t size);

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
        bool intra;
        bool idr;
    };

    // Reads one NAL unit (slices: only its first bytes); the structure of a slice's picture.
    Structure read_nal(const uint8_t* nal, size_t size, PacketPictures* packet);
    bool read_slice_header(const std::vector<uint8_t>& rbsp, int ref_idc, Picture& picture) const;
    void read_sps(const std::vector<uint8_t>& rbsp);
    void read_pps(const std::vector<uint8_t>& rbsp);
    void for_each_nal(const uint8_t* data, size_t size, PacketPictures* packet);

    int length_size_ = 0;  // NAL length prefix size (avcC), 0 for Annex B start codes
    std::vector<SequenceParameters> sps_ = std::vector<SequenceParameters>(32);
    std::vector<int> sps_of_pps_ = std::vector<int>(256, -1);
    bool open_first_field_ = false;  // the last picture was a first field still unpaired
    Picture last_{Structure::Frame, 0, true, true, false};
};

}  // namespace common
