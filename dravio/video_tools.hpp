// Writing videos from video files and images, and reading a whole video:
// the work behind cv_VideoWriter, cv_toVideo, cv_ExplodeVideo, VideoCombine
// and RegularVideo.
#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <array>
#include <string>
#include <vector>

#include "common/video_writer.hpp"

namespace dravio {

// A codec key of the video writers and the FourCC it selects.
struct Codec {
    const char* key;
    const char* fourcc;  // four characters
    int code() const { return cv::VideoWriter::fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]); }
};

// The codec keys, in the order they are tested.
inline constexpr std::array<Codec, 6> codecs{{
    {".mp4", "mp4v"},      // MPEG-4 part 2
    {".flv", "FLV1"},      // Flash video
    {".org", "THEO"},      // Theora
    {".avi-YUV", "I420"},  // uncompressed YUV 4:2:0
    {".avi-1", "PIM1"},    // MPEG-1
    {".avi", "XVID"},      // MPEG-4 part 2 (XVID)
}};

// The frames to take from one video file, by number, ascending, and the
// frame size its capture reports.
struct FramePlan {
    std::string path;
    std::vector<long long> frames;
    cv::Size size;
};

// Writes the planned frames, file after file, into the video `path` with
// `codec` at `fps`, its frame size `size` being that of the first file of the
// recording, `source`. Frames are decoded ahead on worker threads while the
// calling thread encodes; frames that cannot be read are skipped. Before the
// output is created, throws FileError naming `source` when it could not be
// read (size 0x0) and std::invalid_argument for a file that gives frames of
// another size. The output is created even
// without frames; a writer that does not open for frames throws FileError.
// Returns the number of frames written.
size_t combine_videos(const std::string& path, const Codec& codec, double fps, const std::string& source, cv::Size size,
                      const std::vector<FramePlan>& plan);

// Writes `first` (the image of paths[0], already read) and the images of the
// other paths, decoding several files ahead on worker threads. A file that
// cannot be read, or an image of another size than the video's, throws when
// it is reached; the frames before it are written.
void write_image_files(const std::vector<std::string>& paths, const cv::Mat& first, common::VideoOutput& video);

// Writes the images, in order; `step` is their step in the caller's list,
// for naming a frame that does not fit.
void write_images(const std::vector<cv::Mat>& images, long long step, common::VideoOutput& video);

// Every frame of the video, in order, as reading it forward gives them;
// empty for a file that cannot be opened.
std::vector<cv::Mat> read_all_frames(const std::string& path);

}  // namespace dravio
