#include "common/frame_batch.hpp"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace common {

std::vector<cv::Mat> read_frames(FrameReader& reader, const std::vector<int64_t>& indices) {
    std::vector<cv::Mat> frames(indices.size());
    py::gil_scoped_release unlocked;
    for (size_t k = 0; k < indices.size(); ++k) {
        reader.read(indices[k], frames[k]);
        py::gil_scoped_acquire locked;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    return frames;
}

}  // namespace common
