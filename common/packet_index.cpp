#include "common/packet_index.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <mutex>

#include "common/ffmpeg_handles.hpp"
#include "common/h264_pictures.hpp"
#include "common/interrupt.hpp"

namespace common {
namespace {

// Containers without a usable seek index (MPEG-TS/PS): libavformat's
// timestamp seek there lands on arbitrary packets, so the reader seeks to
// the byte position of the wanted packet instead.
bool prefers_byte_seek(const AVFormatContext* format) {
    const char* name = format->iformat->name;
    return std::strcmp(name, "mpegts") == 0 || std::strcmp(name, "mpegtsraw") == 0 || std::strcmp(name, "mpeg") == 0;
}

// What identifies one version of a file.
struct FileVersion {
    dev_t device;
    ino_t inode;
    off_t size;
    int64_t modified_ns;
    bool operator==(const FileVersion& o) const {
        return device == o.device && inode == o.inode && size == o.size && modified_ns == o.modified_ns;
    }
};

bool version_of(const std::string& path, FileVersion& version) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    version = {info.st_dev, info.st_ino, info.st_size,
               static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
    return true;
}

// The indexes built in this process, newest last.  An index takes about 100
// bytes per frame (a few MB for hours of video); the oldest are dropped
// beyond kCachedFiles files.
constexpr size_t kCachedFiles = 256;

struct CacheEntry {
    std::string path;
    FileVersion version;
    std::shared_ptr<const PacketIndex> index;
    std::string why_not;
};

std::mutex cache_mutex;
std::list<CacheEntry> cache;

}  // namespace

std::shared_ptr<const PacketIndex> PacketIndex::of_file(const std::string& path, std::string& why_not) {
    FileVersion version{};
    const bool cacheable = version_of(path, version);
    if (cacheable) {
        std::lock_guard<std::mutex> lock(cache_mutex);
        for (auto it = cache.begin(); it != cache.end(); ++it) {
            if (it->path == path && it->version == version) {
                why_not = it->why_not;
                return it->index;
            }
        }
    }
    std::shared_ptr<const PacketIndex> index = build(path, why_not);
    if (cacheable) {
        std::lock_guard<std::mutex> lock(cache_mutex);
        cache.remove_if([&](const CacheEntry& e) { return e.path == path; });
        cache.push_back({path, version, index, why_not});
        while (cache.size() > kCachedFiles) cache.pop_front();
    }
    return index;
}

void PacketIndex::forget_all() {
    std::lock_guard<std::mutex> lock(cache_mutex);
    cache.clear();
}

std::shared_ptr<const PacketIndex> PacketIndex::build(const std::string& path, std::string& why_not) {
    int stream = -1;
    FormatPtr format = open_video_input(path, stream, why_not);
    if (!format) return nullptr;
    PacketPtr packet(av_packet_alloc());
    if (!packet) {
        why_not = "out of memory";
        return nullptr;
    }
    auto index = std::make_shared<PacketIndex>();
    index->byte_seek_ = prefers_byte_seek(format.get());
    const AVCodecParameters* parameters = format->streams[stream]->codecpar;
    std::unique_ptr<H264Pictures> pictures;
    if (parameters->codec_id == AV_CODEC_ID_H264)
        pictures = std::make_unique<H264Pictures>(parameters->extradata, parameters->extradata_size);

    std::vector<Packet>& packets = index->packets_;
    int read_error = 0;
    for (;;) {
        check_interrupt();  // a long file on a slow drive; nothing is cached when interrupted
        const int r = av_read_frame(format.get(), packet.get());
        if (r < 0) {
            if (r != AVERROR_EOF) read_error = r;
            break;
        }
        if (packet->stream_index == stream) {
            const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            H264Pictures::PacketPictures content;
            if (pictures) content = pictures->read_packet(packet->data, static_cast<size_t>(packet->size));
            const bool second = content.completes_previous_frame && !packets.empty();
            const bool intra = content.understood ? content.intra : key;
            Packet p{packet->pts,
                     packet->dts,
                     packet->pos,
                     key,
                     intra,
                     content.understood && content.idr,
                     (packet->flags & AV_PKT_FLAG_DISCARD) != 0,
                     second,
                     packet->pts};
            if (second) p.frame_pts = packets.back().frame_pts;
            packets.push_back(p);
        }
        av_packet_unref(packet.get());
    }
    (void)read_error;  // a damaged tail ends the index, as it ends OpenCV's forward read

    std::vector<int64_t> shown;
    for (size_t i = 0; i < packets.size(); ++i) {
        const Packet& p = packets[i];
        if (p.second_field) continue;
        if (p.pts == AV_NOPTS_VALUE) {
            if (!p.discarded) {
                why_not = "a frame without a presentation timestamp (packet " + std::to_string(i) + ")";
                return nullptr;
            }
            continue;
        }
        if (!index->frame_of_pts_.emplace(p.pts, static_cast<int64_t>(i)).second) {
            why_not = "two frames with the presentation timestamp " + std::to_string(p.pts);
            return nullptr;
        }
        if (!p.discarded) shown.push_back(static_cast<int64_t>(i));
    }
    if (shown.empty()) {
        why_not = "no frame with a timestamp";
        return nullptr;
    }
    std::sort(shown.begin(), shown.end(), [&](int64_t a, int64_t b) { return packets[a].pts < packets[b].pts; });
    for (size_t r = 0; r < shown.size(); ++r) packets[shown[r]].display_rank = static_cast<int64_t>(r);
    index->by_rank_ = std::move(shown);
    // The file start is always a valid place to begin: it is where OpenCV begins.
    index->starts_.push_back(0);
    for (size_t i = 1; i < packets.size(); ++i)
        if (packets[i].keyframe && packets[i].intra && !packets[i].second_field && packets[i].pts != AV_NOPTS_VALUE)
            index->starts_.push_back(static_cast<int64_t>(i));
    return index;
}

std::optional<PacketIndex::Calibration> PacketIndex::calibration() const {
    std::lock_guard<std::mutex> lock(calibration_mutex_);
    return calibration_;
}

void PacketIndex::remember(const Calibration& found) const {
    std::lock_guard<std::mutex> lock(calibration_mutex_);
    calibration_ = found;
}

int64_t PacketIndex::frame_with_pts(int64_t pts) const {
    const auto it = frame_of_pts_.find(pts);
    return it == frame_of_pts_.end() ? -1 : it->second;
}

int64_t PacketIndex::start_before(int64_t position, int64_t pts) const {
    auto it = std::upper_bound(starts_.begin(), starts_.end(), position);
    --it;  // starts_[0] == 0 <= position
    while (*it != 0 && packets_[*it].pts > pts) --it;
    return *it;
}

int64_t PacketIndex::next_start_after(int64_t position) const {
    const auto it = std::upper_bound(starts_.begin(), starts_.end(), position);
    return it == starts_.end() ? packet_count() : *it;
}

}  // namespace common
