#include "common/h264_pictures.hpp"

#include <algorithm>
#include <cstring>

namespace common {
namespace {

// Reads a NAL unit's payload without its emulation-prevention bytes, at
// most `limit` bytes of it (slice headers need only their first bytes).
std::vector<uint8_t> unescape(const uint8_t* data, size_t size, size_t limit) {
    std::vector<uint8_t> out;
    out.reserve(std::min(size, limit));
    int zeros = 0;
    for (size_t i = 0; i < size && out.size() < limit; ++i) {
        if (zeros >= 2 && data[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = data[i] == 0 ? zeros + 1 : 0;
        out.push_back(data[i]);
    }
    return out;
}

class BitReader {
public:
    explicit BitReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }

    uint32_t bits(int n) {
        uint32_t value = 0;
        for (int k = 0; k < n; ++k) {
            if (position_ >= bytes_.size() * 8) {
                ok_ = false;
                return 0;
            }
            value = (value << 1) | ((bytes_[position_ / 8] >> (7 - position_ % 8)) & 1);
            ++position_;
        }
        return value;
    }

    uint32_t ue() {
        int zeros = 0;
        while (ok_ && bits(1) == 0)
            if (++zeros > 31) ok_ = false;
        if (!ok_) return 0;
        return ((1u << zeros) - 1) + bits(zeros);
    }

    int32_t se() {
        const uint32_t code = ue();
        return (code & 1) ? static_cast<int32_t>((code + 1) / 2) : -static_cast<int32_t>(code / 2);
    }

private:
    const std::vector<uint8_t>& bytes_;
    size_t position_ = 0;
    bool ok_ = true;
};

void skip_scaling_list(BitReader& in, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && in.ok(); ++j) {
        if (next != 0) next = (last + in.se() + 256) % 256;
        last = next == 0 ? last : next;
    }
}

constexpr size_t kSliceHeaderBytes = 48;

// Position after the next 00 00 01 at or after `from`, or `size`.
size_t next_start_code(const uint8_t* data, size_t from, size_t size) {
    while (from + 2 < size) {
        const void* one = std::memchr(data + from + 2, 1, size - from - 2);
        if (!one) return size;
        const size_t at = static_cast<const uint8_t*>(one) - data;  // data[at] == 1, at >= from + 2
        if (data[at - 1] == 0 && data[at - 2] == 0) return at + 1;
        from = at - 1;
    }
    return size;
}

}  // namespace

H264Pictures::H264Pictures(const uint8_t* extradata, size_t size) {
    if (extradata && size >= 7 && extradata[0] == 1) {
        // avcC: version, profile, compatibility, level, length size, SPS and PPS.
        length_size_ = (extradata[4] & 3) + 1;
        size_t pos = 5;
        for (int table = 0; table < 2 && pos < size; ++table) {
            const int count = table == 0 ? (extradata[pos] & 0x1F) : extradata[pos];
            ++pos;
            for (int k = 0; k < count && pos + 2 <= size; ++k) {
                const size_t length = (size_t(extradata[pos]) << 8) | extradata[pos + 1];
                pos += 2;
                if (pos + length > size) return;
                read_nal(extradata + pos, length, nullptr);
                pos += length;
            }
        }
    } else if (extradata && size > 0) {
        for_each_nal(extradata, size, nullptr);
    }
}

H264Pictures::PacketPictures H264Pictures::read_packet(const uint8_t* data, size_t size) {
    PacketPictures packet;
    for_each_nal(data, size, &packet);
    return packet;
}

void H264Pictures::for_each_nal(const uint8_t* data, size_t size, PacketPictures* packet) {
    if (length_size_ > 0) {
        size_t pos = 0;
        while (pos + length_size_ <= size) {
            size_t length = 0;
            for (int k = 0; k < length_size_; ++k) length = (length << 8) | data[pos + k];
            pos += length_size_;
            if (length > size - pos) break;
            read_nal(data + pos, length, packet);
            pos += length;
        }
        return;
    }
    // Annex B: NAL units after 00 00 01 start codes.  A slice header needs
    // only the first bytes of its NAL unit, and a frame picture's slice ends
    // the search: the picture data after it is not scanned.
    size_t start = next_start_code(data, 0, size);
    while (start < size) {
        const int type = data[start] & 0x1F;
        if (type == 1 || type == 5) {
            const Structure structure = read_nal(data + start, std::min(size - start, kSliceHeaderBytes + 8), packet);
            if (structure == Structure::Frame) return;
            start = next_start_code(data, start + 1, size);
            continue;
        }
        const size_t next = next_start_code(data, start + 1, size);
        size_t end = next < size ? next - 3 : size;
        while (end > start && data[end - 1] == 0) --end;
        read_nal(data + start, end - start, packet);
        start = next;
    }
}

H264Pictures::Structure H264Pictures::read_nal(const uint8_t* nal, size_t size, PacketPictures* packet) {
    if (size < 2) return Structure::Frame;
    const int type = nal[0] & 0x1F;
    const int ref_idc = (nal[0] >> 5) & 3;
    if (type == 7) {
        read_sps(unescape(nal + 1, size - 1, 4096));
    } else if (type == 8) {
        read_pps(unescape(nal + 1, size - 1, 64));
    } else if (type == 1 || type == 5) {
        Picture picture{};
        if (!read_slice_header(unescape(nal + 1, size - 1, kSliceHeaderBytes), ref_idc, picture))
            return Structure::Frame;
        // As FFmpeg's decoder pairs fields: a field of the other parity with
        // the same frame_num right after an unpaired first field completes it.
        const bool second = picture.structure != Structure::Frame && open_first_field_ &&
                            last_.structure != picture.structure && last_.frame_num == picture.frame_num;
        if (packet && !packet->understood) {
            packet->understood = true;
            packet->completes_previous_frame = second;
            packet->intra = picture.intra;
            packet->idr = type == 5;
        }
        open_first_field_ = picture.structure != Structure::Frame && !second;
        last_ = picture;
        return picture.structure;
    }
    return Structure::Frame;
}

bool H264Pictures::read_slice_header(const std::vector<uint8_t>& rbsp, int ref_idc, Picture& picture) const {
    BitReader in(rbsp);
    if (in.ue() != 0) return false;  // a later slice of a picture already seen
    const uint32_t slice_type = in.ue() % 5;
    picture.intra = slice_type == 2 || slice_type == 4;  // I or SI
    const uint32_t pps = in.ue();
    if (!in.ok() || pps >= sps_of_pps_.size() || sps_of_pps_[pps] < 0) return false;
    const SequenceParameters& sps = sps_[sps_of_pps_[pps]];
    if (!sps.known) return false;
    if (sps.separate_colour_planes) in.bits(2);
    picture.frame_num = static_cast<int>(in.bits(sps.frame_num_bits));
    picture.structure = Structure::Frame;
    if (!sps.frame_pictures_only && in.bits(1))
        picture.structure = in.bits(1) ? Structure::BottomField : Structure::TopField;
    picture.reference = ref_idc != 0;
    return in.ok();
}

void H264Pictures::read_sps(const std::vector<uint8_t>& rbsp) {
    BitReader in(rbsp);
    const uint32_t profile = in.bits(8);
    in.bits(16);  // constraint flags, level
    const uint32_t id = in.ue();
    if (!in.ok() || id >= sps_.size()) return;
    SequenceParameters sps;
    static const uint32_t high_profiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(high_profiles), std::end(high_profiles), profile) != std::end(high_profiles)) {
        const uint32_t chroma_format = in.ue();
        if (chroma_format == 3) sps.separate_colour_planes = in.bits(1) != 0;
        in.ue(), in.ue();  // bit depths
        in.bits(1);
        if (in.bits(1)) {  // scaling matrices
            const int lists = chroma_format == 3 ? 12 : 8;
            for (int k = 0; k < lists && in.ok(); ++k)
                if (in.bits(1)) skip_scaling_list(in, k < 6 ? 16 : 64);
        }
    }
    sps.frame_num_bits = static_cast<int>(in.ue()) + 4;
    const uint32_t poc_type = in.ue();
    if (poc_type == 0) {
        in.ue();
    } else if (poc_type == 1) {
        in.bits(1);
        in.se(), in.se();
        const uint32_t cycle = in.ue();
        for (uint32_t k = 0; k < cycle && k < 256 && in.ok(); ++k) in.se();
    }
    in.ue();           // max_num_ref_frames
    in.bits(1);        // gaps_in_frame_num_value_allowed_flag
    in.ue(), in.ue();  // size in macroblocks
    sps.frame_pictures_only = in.bits(1) != 0;
    if (!in.ok() || sps.frame_num_bits > 16) return;
    sps.known = true;
    sps_[id] = sps;
}

void H264Pictures::read_pps(const std::vector<uint8_t>& rbsp) {
    BitReader in(rbsp);
    const uint32_t id = in.ue();
    const uint32_t sps = in.ue();
    if (in.ok() && id < sps_of_pps_.size() && sps < sps_.size()) sps_of_pps_[id] = static_cast<int>(sps);
}

}  // namespace common
