#include "common/frame_batch.hpp"

#include "common/interrupt.hpp"

namespace common {

std::vector<cv::Mat> read_frames(FrameReader& reader, const std::vector<int64_t>& indices) {
    std::vector<cv::Mat> frames(indices.size());
    for (size_t k = 0; k < indices.size(); ++k) {
        check_interrupt();
        reader.read(indices[k], frames[k]);
    }
    return frames;
}

}  // namespace common
