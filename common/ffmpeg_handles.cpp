#include "common/ffmpeg_handles.hpp"

namespace common {

std::string ffmpeg_error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

FormatPtr open_video_input(const std::string& path, int& video_stream, std::string& error) {
    video_stream = -1;
    AVFormatContext* raw = nullptr;
    if (const int r = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); r < 0) {
        error = "cannot open the file: " + ffmpeg_error_text(r);  // FFmpeg frees `raw` on failure
        return nullptr;
    }
    FormatPtr format(raw);
    if (const int r = avformat_find_stream_info(raw, nullptr); r < 0) {
        error = "cannot read the streams of the file: " + ffmpeg_error_text(r);
        return nullptr;
    }
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        if (video_stream < 0 && raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            video_stream = static_cast<int>(i);
        else
            raw->streams[i]->discard = AVDISCARD_ALL;
    }
    if (video_stream < 0) {
        error = "the file has no video stream";
        return nullptr;
    }
    return format;
}

}  // namespace common
