#include "common/py_ndarray.hpp"

#include <climits>
#include <string>

#include "common/py_values.hpp"

namespace common {

namespace {

int depth_of(const py::dtype& dtype, const char* name) {
    switch (dtype.kind()) {
        case 'b': return CV_8U;  // NumPy booleans are one byte of 0 or 1
        case 'u':
            if (dtype.itemsize() == 1) return CV_8U;
            if (dtype.itemsize() == 2) return CV_16U;
            break;
        case 'i':
            if (dtype.itemsize() == 1) return CV_8S;
            if (dtype.itemsize() == 2) return CV_16S;
            if (dtype.itemsize() == 4) return CV_32S;
            break;
        case 'f':
            // No float16: cv2 refuses it too, and OpenCV functions that do
            // not check for it (CLAHE) crash on it.
            if (dtype.itemsize() == 4) return CV_32F;
            if (dtype.itemsize() == 8) return CV_64F;
            break;
    }
    throw py::type_error(std::string(name) + ": data type = " + std::string(py::str(dtype)) + " is not supported");
}

py::dtype dtype_of(int depth) {
    switch (depth) {
        case CV_8U: return py::dtype::of<uint8_t>();
        case CV_8S: return py::dtype::of<int8_t>();
        case CV_16U: return py::dtype::of<uint16_t>();
        case CV_16S: return py::dtype::of<int16_t>();
        case CV_32S: return py::dtype::of<int32_t>();
        case CV_32F: return py::dtype::of<float>();
        case CV_64F: return py::dtype::of<double>();
        case CV_16F: return py::dtype("float16");
    }
    throw std::logic_error("unknown OpenCV depth");
}

// Rows may be padded or strided, but the pixels of one row must be packed and
// the rows must follow each other without overlapping. A zero stride (a
// broadcast array) or a negative one is not such a layout.
bool rows_are_packed(const py::array& a, size_t channels) {
    const auto item = a.itemsize();
    const auto columns = a.ndim() >= 2 ? a.shape(1) : 1;
    const auto row = columns * static_cast<py::ssize_t>(channels) * item;
    if (a.ndim() == 3 && a.strides(2) != item) return false;
    if (a.ndim() >= 2 && a.strides(1) != static_cast<py::ssize_t>(channels) * item) return false;
    if (a.shape(0) > 1 && (a.strides(0) < row || a.strides(0) % item != 0)) return false;
    return true;
}

int checked_extent(py::ssize_t extent, const char* what, const char* name) {
    if (extent > INT_MAX)
        throw py::value_error(std::string(name) + ": " + std::to_string(extent) + " " + what +
                              " are more than an OpenCV image holds");
    return static_cast<int>(extent);
}

}  // namespace

MatView mat_view(py::handle value, const char* name) {
    py::module_ numpy = py::module_::import("numpy");
    py::array array = py::reinterpret_borrow<py::object>(value);
    if (!py::isinstance<py::array>(value)) array = numpy.attr("asarray")(value);
    if (array.ndim() < 1 || array.ndim() > 3)
        throw py::type_error(std::string(name) + ": expected a 2-D or 3-D image array, got " +
                             std::to_string(array.ndim()) + " dimensions");

    const int depth = depth_of(array.dtype(), name);
    const size_t channels = array.ndim() == 3 ? static_cast<size_t>(array.shape(2)) : 1;
    if (channels < 1 || channels > CV_CN_MAX)
        throw py::type_error(std::string(name) + ": " + std::to_string(channels) + " channels are not supported");
    const int rows = checked_extent(array.shape(0), "rows", name);
    const int cols = checked_extent(array.ndim() >= 2 ? array.shape(1) : 1, "columns", name);
    const int type = CV_MAKETYPE(depth, static_cast<int>(channels));

    MatView view;
    if (array.size() == 0) {
        view.mat = cv::Mat(rows, cols, type);
        view.owner = std::move(array);
        return view;
    }
    // Pixels stored in the other byte order are copied into the native one.
    if (!is_true(array.dtype().attr("isnative"))) array = array.attr("astype")(array.dtype().attr("newbyteorder")("="));
    if (!rows_are_packed(array, channels)) array = numpy.attr("ascontiguousarray")(array);

    const size_t step =
        rows > 1 ? static_cast<size_t>(array.strides(0)) : static_cast<size_t>(cols) * channels * array.itemsize();
    view.mat = cv::Mat(rows, cols, type, const_cast<void*>(array.data()), step);
    view.owner = std::move(array);
    return view;
}

MatView mask_view(py::handle value, const char* name) {
    py::module_ numpy = py::module_::import("numpy");
    py::array array = numpy.attr("asarray")(value);
    const char kind = array.dtype().kind();
    const auto size = array.itemsize();
    if (kind == 'b' || (kind == 'i' && size == 8) || (kind == 'u' && size >= 4)) {
        py::object byte = numpy.attr("uint8");
        array = numpy.attr("where")(numpy.attr("not_equal")(array, 0), byte(255), byte(0));
    }
    return mat_view(array, name);
}

py::array to_array(cv::Mat mat) {
    if (mat.empty()) {
        std::vector<py::ssize_t> shape{mat.rows, mat.cols};
        if (mat.channels() > 1) shape.push_back(mat.channels());
        return py::array(dtype_of(mat.depth()), shape);
    }
    // A matrix over foreign memory cannot keep that memory alive: copy it.
    if (!mat.u && mat.data) mat = mat.clone();
    auto* kept = new cv::Mat(std::move(mat));
    py::capsule owner(kept, [](void* p) { delete static_cast<cv::Mat*>(p); });

    const auto element = static_cast<py::ssize_t>(kept->elemSize());
    const auto item = static_cast<py::ssize_t>(kept->elemSize1());
    std::vector<py::ssize_t> shape{kept->rows, kept->cols};
    std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(kept->step[0]), element};
    if (kept->channels() > 1) {
        shape.push_back(kept->channels());
        strides.push_back(item);
    }
    return py::array(dtype_of(kept->depth()), shape, strides, kept->data, owner);
}

}  // namespace common
