// Writing videos from video files and images, and reading a whole video:
// the work behind cv_VideoWriter, cv_toVideo, cv_ExplodeVideo, VideoCombine
// and RegularVideo.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <array>
#include <string>
#include <vector>

#include "dravio/pipeline.hpp"

namespace dravio {

// A codec key of the video writers and the FourCC it selects.
struct Codec {
    const char* key;
    const char* fourcc;  // four characters
    int code() const { return cv::VideoWriter::fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]); }
};

// The codec keys, in the order they are tested.
inline constexpr std::array<Codec, 6> codecs{{
    {".mp4", "mp4v"},     // MPEG-4 part 2
    {".flv", "FLV1"},     // Flash video
    {".org", "THEO"},     // Theora
    {".avi-YUV", "I420"}, // uncompressed YUV 4:2:0
    {".avi-1", "PIM1"},   // MPEG-1
    {".avi", "XVID"},     // MPEG-4 part 2 (XVID)
}};

// The MPEG-4 part 2 codec, which cv_toVideo always uses.
inline const Codec& mp4v = codecs[0];

// What OpenCV's capture reports for a video file; all zero when it cannot
// be opened.
struct VideoInfo {
    double fps = 0;
    cv::Size size;
    long long frame_count = 0;  // CAP_PROP_FRAME_COUNT, truncated
};

VideoInfo probe_video(const std::string& path);

// Throws std::invalid_argument unless `frame` is an 8-bit BGR image of
// `size`: OpenCV's writer silently drops any other frame. `what` names the
// frame in the message.
void check_frame(const cv::Mat& frame, cv::Size size, const std::string& what);

// The frames to take from one video file, by number, ascending, and the
// frame size its capture reports.
struct FramePlan {
    std::string path;
    std::vector<long long> frames;
    cv::Size size;
};

// Writes the planned frames, file after file, into the video `path` with
// `codec` at `fps`, its frame size `size` being that of the first file of the
// recording, `source`. Frames are decoded ahead on a worker thread while the
// calling thread encodes; frames that cannot be read are skipped. Before the
// output is created, throws std::invalid_argument for a file that gives
// frames of another size, and FileError naming `source` when it could not be
// read (size 0x0) while other files give frames. The output is created even
// without frames; a writer that does not open for frames throws FileError.
// Returns the number of frames written.
size_t combine_videos(const std::string& path, const Codec& codec, double fps, const std::string& source,
                      cv::Size size, const std::vector<FramePlan>& plan, const InterruptCheck& interrupted);

// Writes `first` (the image of paths[0], already read) and the images of the
// other paths, decoding several files ahead on worker threads. A file that
// cannot be read, or an image of another size than `first`, throws when it is
// reached; the frames before it are written.
void write_image_files(const std::vector<std::string>& paths, cv::Mat first, cv::VideoWriter& writer,
                       const InterruptCheck& interrupted);

// Writes the images, in order.
void write_images(const std::vector<cv::Mat>& images, cv::VideoWriter& writer, const InterruptCheck& interrupted);

// Every frame of the video, in order, as reading it forward gives them;
// empty for a file that cannot be opened.
std::vector<cv::Mat> read_all_frames(const std::string& path, const InterruptCheck& interrupted);

}  // namespace dravio
