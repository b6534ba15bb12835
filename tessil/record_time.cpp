// The recording time of a video, read from the file.
//
// AVCHD camcorders write their clock into every GOP of the H.264 stream: an
// SEI message user_data_unregistered (payloadType 5) with the UUID
// 17EE8C60-F84D-11D9-8CD6-0800200C9A66, the bytes "MDPM", an entry count and
// 5-byte entries (a tag, 4 data bytes). Tag 0x18 holds TZ YY YY MM and tag
// 0x19 DD hh mm ss, all but TZ in BCD. TZ: 0x40 daylight saving, 0x20 west
// of UTC, 0x1E zone hours << 1, 0x01 half an hour more.
//
// The time returned is the camcorder's own wall-clock time of frame 0, as
// its display and ExifTool's DateTimeOriginal show it: it is not converted
// to the zone of the computer reading the file (the experiment ran by the
// camcorder's clock). The zone is used to compare GOPs: each GOP's clock,
// as an instant (its local time minus its UTC offset), minus the GOP's
// distance from frame 0 (packet timestamps) says when frame 0 was recorded.
// The camcorder counts whole seconds, so GOPs of one recording agree to
// within a second.
//
// Disagreeing GOPs: the first GOP carries frame 0's own time and is used
// unless a strict majority of the GOPs read agree on another time for frame
// 0; then that time is used (a damaged first record). Either way the result
// carries a warning that names both times, so a wrong clock never passes
// silently.

#include "tessil/record_time.hpp"

#include <fcntl.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

#include "common/errors.hpp"
#include "common/interrupt.hpp"

namespace tessil {
namespace {

// ---- Calendar arithmetic (proleptic Gregorian, no time zone) ----

// Days from 1970-01-01 to y-m-d (H. Hinnant's days_from_civil).
int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

struct CalendarTime {
    int year, month, day, hour, minute, second;
};

bool is_valid(const CalendarTime& t) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.month < 1 || t.month > 12 || t.day < 1) return false;
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    const int month_days = days[t.month - 1] + (t.month == 2 && leap);
    return t.day <= month_days && t.hour >= 0 && t.hour < 24 && t.minute >= 0 && t.minute < 60 && t.second >= 0 &&
           t.second < 60;
}

// Seconds from 1970-01-01 00:00:00 to `t`, both read on the same clock.
int64_t epoch_seconds(const CalendarTime& t) {
    return days_from_civil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

// "2024-03-10 23:59:59" of a count of epoch_seconds.
std::string format_time(int64_t seconds) {
    const int64_t z = floor_div(seconds, 86400) + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2);
    const int64_t in_day = floor_mod(seconds, 86400);
    char text[128];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(year),
                  static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(in_day / 3600),
                  static_cast<long long>(in_day / 60 % 60), static_cast<long long>(in_day % 60));
    return text;
}

ClockTime clock_of(int64_t seconds) {
    const int64_t in_day = floor_mod(seconds, 86400);
    return {static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60)};
}

// ---- The camcorder's MDPM records ----

const uint8_t kMdpmUuid[16] = {0x17, 0xEE, 0x8C, 0x60, 0xF8, 0x4D, 0x11, 0xD9,
                               0x8C, 0xD6, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66};

struct CamcorderClock {
    CalendarTime local;  // the camcorder's wall clock
    int utc_offset;      // seconds east of UTC, daylight saving included

    int64_t instant() const { return epoch_seconds(local) - utc_offset; }
};

bool from_bcd(uint8_t byte, int& value) {
    const int high = byte >> 4, low = byte & 0x0F;
    if (high > 9 || low > 9) return false;
    value = high * 10 + low;
    return true;
}

// The clock of an MDPM payload: `data` points after "MDPM" (the entry count).
// Empty when the date or time entry is missing or not a valid date.
std::optional<CamcorderClock> decode_mdpm(const uint8_t* data, size_t size) {
    if (size < 1) return std::nullopt;
    const size_t count = std::min<size_t>(data[0], (size - 1) / 5);
    const uint8_t* date = nullptr;
    const uint8_t* time = nullptr;
    for (size_t k = 0; k < count; ++k) {
        const uint8_t* entry = data + 1 + 5 * k;
        if (entry[0] == 0x18 && !date) date = entry + 1;
        if (entry[0] == 0x19 && !time) time = entry + 1;
    }
    if (!date || !time) return std::nullopt;
    CamcorderClock clock{};
    int century = 0, year = 0;
    if (!from_bcd(date[1], century) || !from_bcd(date[2], year) || !from_bcd(date[3], clock.local.month) ||
        !from_bcd(time[0], clock.local.day) || !from_bcd(time[1], clock.local.hour) ||
        !from_bcd(time[2], clock.local.minute) || !from_bcd(time[3], clock.local.second))
        return std::nullopt;
    clock.local.year = century * 100 + year;
    if (!is_valid(clock.local)) return std::nullopt;
    const uint8_t tz = date[0];
    const int hours = (tz >> 1) & 0x0F;
    // A zone beyond UTC+-14 is no zone (offset 0): it then only matters when
    // the zones of two GOPs differ.
    int offset = hours <= 14 ? hours * 3600 + (tz & 0x01 ? 1800 : 0) : 0;
    if (tz & 0x20) offset = -offset;
    if (tz & 0x40) offset += 3600;
    clock.utc_offset = offset;
    return clock;
}

// The RBSP of a NAL unit's payload: every 00 00 03 loses its 03.
std::vector<uint8_t> unescape(const uint8_t* data, size_t size) {
    std::vector<uint8_t> rbsp;
    rbsp.reserve(size);
    int zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t byte = data[i];
        if (zeros >= 2 && byte == 0x03) {
            zeros = 0;
            continue;
        }
        rbsp.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return rbsp;
}

// The first valid MDPM clock among the SEI messages of one sei_rbsp.
std::optional<CamcorderClock> clock_in_sei(const std::vector<uint8_t>& rbsp) {
    const size_t n = rbsp.size();
    size_t pos = 0;
    while (pos < n) {
        if (rbsp[pos] == 0x80 && pos + 1 == n) break;  // rbsp_trailing_bits
        size_t type = 0, size = 0;
        while (pos < n && rbsp[pos] == 0xFF) type += 255, ++pos;
        if (pos >= n) break;
        type += rbsp[pos++];
        while (pos < n && rbsp[pos] == 0xFF) size += 255, ++pos;
        if (pos >= n) break;
        size += rbsp[pos++];
        if (size > n - pos) break;  // cut off
        const uint8_t* payload = rbsp.data() + pos;
        if (type == 5 && size > 20 && std::memcmp(payload, kMdpmUuid, 16) == 0 &&
            std::memcmp(payload + 16, "MDPM", 4) == 0) {
            if (auto clock = decode_mdpm(payload + 20, size - 20)) return clock;
        }
        pos += size;
    }
    return std::nullopt;
}

// Calls visit(nal, size) for every NAL unit of a packet: Annex-B start codes
// (MPEG-TS) when length_size is 0, else NAL units prefixed by their
// big-endian length of length_size bytes (MP4, Matroska).
template <typename Visit>
void for_each_nal(const uint8_t* data, size_t size, int length_size, Visit visit) {
    if (length_size > 0) {
        size_t pos = 0;
        while (size - pos >= static_cast<size_t>(length_size)) {
            size_t length = 0;
            for (int k = 0; k < length_size; ++k) length = (length << 8) | data[pos++];
            if (length > size - pos) break;
            if (length > 0 && visit(data + pos, length)) return;
            pos += length;
        }
        return;
    }
    auto next_start = [&](size_t from) {
        for (size_t k = from; k + 2 < size; ++k)
            if (data[k + 2] <= 1 && data[k] == 0 && data[k + 1] == 0 && data[k + 2] == 1) return k;
        return size;
    };
    size_t start = next_start(0);
    while (start < size) {
        const size_t begin = start + 3;
        const size_t next = next_start(begin);
        size_t end = next;
        while (end > begin && data[end - 1] == 0) --end;  // the zero of a 4-byte start code
        if (end > begin && visit(data + begin, end - begin)) return;
        start = next;
    }
}

// The first MDPM clock in the SEI NAL units of one access unit.
std::optional<CamcorderClock> clock_in_packet(const AVPacket& packet, int length_size) {
    std::optional<CamcorderClock> found;
    for_each_nal(packet.data, static_cast<size_t>(packet.size), length_size, [&](const uint8_t* nal, size_t n) {
        if ((nal[0] & 0x1F) != 6 || n < 2) return false;
        found = clock_in_sei(unescape(nal + 1, n - 1));
        return found.has_value();
    });
    return found;
}

// ---- Reading the first GOPs ----

struct InputCloser {
    void operator()(AVFormatContext* p) const noexcept { avformat_close_input(&p); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

struct PacketUnref {
    AVPacket* packet;
    ~PacketUnref() { av_packet_unref(packet); }
};

constexpr int kGops = 5;              // GOPs read to check the first one
constexpr size_t kMaxPackets = 400;   // at most 16 s at 25 fps, whatever the GOP length
constexpr int kGopsWithoutClock = 3;  // a stream with no MDPM in its first GOPs has none
constexpr size_t kPacketsWithoutClock = 100;

struct Sample {
    int64_t pts;  // AV_NOPTS_VALUE when unknown
    bool key;
    std::optional<CamcorderClock> clock;
};

// The video packets of the first GOPs, each with its MDPM clock if it has one.
std::vector<Sample> read_first_gops(AVFormatContext* fmt, int stream, int length_size) {
    PacketPtr packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    std::vector<Sample> samples;
    int keys = 0;
    bool any_clock = false;
    while (samples.size() < kMaxPackets && av_read_frame(fmt, packet.get()) >= 0) {
        PacketUnref unref{packet.get()};
        common::check_interrupt();  // the file may lie on a slow drive
        if (packet->stream_index != stream) continue;
        Sample sample{packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts, (packet->flags & AV_PKT_FLAG_KEY) != 0,
                      std::nullopt};
        if (sample.key && ++keys > kGops) break;
        sample.clock = clock_in_packet(*packet, length_size);
        any_clock = any_clock || sample.clock.has_value();
        samples.push_back(sample);
        if (!any_clock && (keys > kGopsWithoutClock || samples.size() >= kPacketsWithoutClock)) break;
    }
    return samples;
}

// One GOP's clock, with the timestamp of the picture that carried it.
struct GopClock {
    CamcorderClock clock;
    int64_t pts;
};

// The time of frame 0 from the GOP clocks (see the top of this file).
std::optional<RecordTime> settle(const std::vector<Sample>& samples, AVRational tb, const std::string& path) {
    // Without timestamps the first clock is used alone, unchecked.
    bool timed = tb.num > 0 && tb.den > 0;
    timed =
        timed && std::any_of(samples.begin(), samples.end(), [](const Sample& s) { return s.pts != AV_NOPTS_VALUE; });
    if (!timed) tb = AVRational{1, 1};
    // The decoder shows nothing before the first keyframe; without any
    // keyframe flag the packets read count as one GOP.
    size_t first = 0;
    while (first < samples.size() && !samples[first].key) ++first;
    if (first == samples.size()) first = 0;

    // Frame 0 is the earliest picture of the first GOP.
    int64_t frame0 = AV_NOPTS_VALUE;
    for (size_t i = first; i < samples.size() && (i == first || !samples[i].key); ++i)
        if (samples[i].pts != AV_NOPTS_VALUE && (frame0 == AV_NOPTS_VALUE || samples[i].pts < frame0))
            frame0 = samples[i].pts;

    std::vector<GopClock> gops;  // the first clock of each GOP
    bool gop_has_clock = false;
    for (size_t i = first; i < samples.size(); ++i) {
        if (samples[i].key) gop_has_clock = false;
        if (gop_has_clock || !samples[i].clock || (timed && samples[i].pts == AV_NOPTS_VALUE)) continue;
        gops.push_back({*samples[i].clock, samples[i].pts});
        gop_has_clock = true;
    }
    if (gops.empty()) return std::nullopt;
    if (!timed) gops.erase(gops.begin() + 1, gops.end());
    if (frame0 == AV_NOPTS_VALUE || !timed) frame0 = gops[0].pts;

    // When frame 0 was recorded by a GOP's clock (the clock's instant minus
    // the GOP's distance from frame 0), in units of 1/tb.den s; exact, as
    // tb.num / tb.den s is the timestamps' unit. The clock counts whole
    // seconds, so frame 0 lies in [value, value + 1 s).
    auto frame0_on_clock = [&](const GopClock& gop) {
        return static_cast<__int128>(gop.clock.instant()) * tb.den - static_cast<__int128>(gop.pts - frame0) * tb.num;
    };
    auto agree = [&](const GopClock& a, const GopClock& b) {
        const __int128 difference = frame0_on_clock(a) - frame0_on_clock(b);
        return difference < tb.den && -difference < tb.den;
    };
    // Frame 0's time on the wall clock of the group's first GOP, in whole
    // seconds: the middle of the second that all the group's GOPs allow,
    // truncated as the camcorder truncates. A group holding the first GOP
    // (at distance 0) gives that GOP's own clock.
    auto frame0_seconds = [&](const std::vector<size_t>& group) {
        __int128 latest = frame0_on_clock(gops[group[0]]), earliest = latest;
        for (size_t k : group) {
            latest = std::max(latest, frame0_on_clock(gops[k]));
            earliest = std::min(earliest, frame0_on_clock(gops[k]));
        }
        // The second [latest, earliest + 1 s), moved to local time.
        const __int128 den = tb.den;
        const __int128 twice_middle = latest + earliest + den + 2 * den * gops[group[0]].clock.utc_offset;
        __int128 seconds = twice_middle / (2 * den);
        if (twice_middle % (2 * den) != 0 && twice_middle < 0) --seconds;
        return static_cast<int64_t>(seconds);
    };

    // Groups of GOPs that agree with the group's first GOP; group 0 holds
    // the first GOP and wins ties.
    std::vector<std::vector<size_t>> groups;
    for (size_t k = 0; k < gops.size(); ++k) {
        size_t g = 0;
        while (g < groups.size() && !agree(gops[groups[g][0]], gops[k])) ++g;
        if (g == groups.size()) groups.emplace_back();
        groups[g].push_back(k);
    }
    size_t winner = 0;
    for (size_t g = 1; g < groups.size(); ++g)
        if (groups[g].size() > groups[winner].size()) winner = g;

    RecordTime result;
    result.source = TimeSource::Avchd;
    const int64_t seconds = frame0_seconds(groups[winner]);
    result.time = clock_of(seconds);
    if (groups.size() > 1) {
        const std::string later = std::to_string(gops.size() - 1);
        std::string message = "GetRecordTime: " + path + ": the camcorder's clock in the first GOP gives frame 0 " +
                              format_time(frame0_seconds({0})) + ", ";
        if (winner == 0)
            message += std::to_string(gops.size() - groups[0].size()) + " of the " + later +
                       " later GOPs read disagree (the first of them gives " + format_time(frame0_seconds(groups[1])) +
                       "); the first GOP's time is used";
        else
            message += std::to_string(groups[winner].size()) + " of the " + later + " later GOPs read agree on " +
                       format_time(seconds) + "; their time is used";
        result.warnings.push_back(std::move(message));
    }
    return result;
}

// ---- The container's creation time ----

// Reads `count` decimal digits at `text`.
bool read_digits(const char*& text, int count, int& value) {
    value = 0;
    for (int k = 0; k < count; ++k, ++text) {
        if (*text < '0' || *text > '9') return false;
        value = value * 10 + (*text - '0');
    }
    return true;
}

// Seconds since the epoch of an ISO 8601 time "YYYY-MM-DD[T ]hh:mm:ss[.fff]"
// with "Z", "+hh:mm" or "-hh:mm" (or nothing: creation times are UTC).
// Fractions of a second are dropped, as GetCreatTime drops them.
std::optional<int64_t> parse_utc(const char* text) {
    CalendarTime t{};
    if (!read_digits(text, 4, t.year) || *text++ != '-' || !read_digits(text, 2, t.month) || *text++ != '-' ||
        !read_digits(text, 2, t.day) || (*text != 'T' && *text != 't' && *text != ' ') ||
        !read_digits(++text, 2, t.hour) || *text++ != ':' || !read_digits(text, 2, t.minute) || *text++ != ':' ||
        !read_digits(text, 2, t.second) || !is_valid(t))
        return std::nullopt;
    if (*text == '.' || *text == ',') {
        ++text;
        if (*text < '0' || *text > '9') return std::nullopt;
        while (*text >= '0' && *text <= '9') ++text;
    }
    int offset = 0;
    if (*text == 'Z' || *text == 'z') {
        ++text;
    } else if (*text == '+' || *text == '-') {
        const int sign = *text++ == '-' ? -1 : 1;
        int hours = 0, minutes = 0;
        if (!read_digits(text, 2, hours)) return std::nullopt;
        if (*text == ':') ++text;
        if (!read_digits(text, 2, minutes) || hours > 14 || minutes > 59) return std::nullopt;
        offset = sign * (hours * 3600 + minutes * 60);
    }
    if (*text != '\0') return std::nullopt;
    return epoch_seconds(t) - offset;
}

// The container's creation_time (the file's, else the video stream's).
// Times up to the epoch are no times: they are what a camera without a
// clock writes.
std::optional<int64_t> container_time(const AVFormatContext* fmt, int stream) {
    const AVDictionary* sources[] = {fmt->metadata, stream >= 0 ? fmt->streams[stream]->metadata : nullptr};
    for (const AVDictionary* metadata : sources) {
        const AVDictionaryEntry* entry = av_dict_get(metadata, "creation_time", nullptr, 0);
        if (!entry) continue;
        const auto seconds = parse_utc(entry->value);
        if (seconds && *seconds > 0) return seconds;
    }
    return std::nullopt;
}

// The NAL length size of H.264 in MP4 or Matroska (an avcC record in the
// extradata), 0 for Annex-B streams.
int nal_length_size(const AVCodecParameters* par) {
    if (par->extradata && par->extradata_size >= 7 && par->extradata[0] == 1) return (par->extradata[4] & 0x03) + 1;
    return 0;
}

}  // namespace

const char* source_name(TimeSource source) {
    switch (source) {
        case TimeSource::Avchd: return "avchd";
        case TimeSource::Container: return "container";
        case TimeSource::File: break;
    }
    return "file";
}

RecordTime record_time(const std::string& path) {
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
    // Missing or unreadable files are errors, not files without a time.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw common::FileError(errno, path);
    ::close(fd);

    RecordTime result;
    // "file:" keeps a colon in the name from being read as a protocol.
    const std::string url = "file:" + path;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, url.c_str(), nullptr, nullptr) < 0) return result;  // not a video
    InputPtr fmt(raw);
    // The first video stream, as OpenCV picks it; the other streams' packets
    // are dropped by the demuxer.
    int stream = -1;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        if (stream < 0 && fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            stream = static_cast<int>(i);
        else
            fmt->streams[i]->discard = AVDISCARD_ALL;
    }
    if (stream >= 0 && fmt->streams[stream]->codecpar->codec_id == AV_CODEC_ID_H264) {
        const AVStream* video = fmt->streams[stream];
        const auto samples = read_first_gops(fmt.get(), stream, nal_length_size(video->codecpar));
        if (auto found = settle(samples, video->time_base, path)) return std::move(*found);
    }
    if (const auto seconds = container_time(fmt.get(), stream)) {
        result.source = TimeSource::Container;
        result.time = local_clock_time(static_cast<std::time_t>(*seconds));
    }
    return result;
}

}  // namespace tessil
