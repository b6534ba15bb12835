// Dravio's image functions: cv_GenImage, cv_RandomImg, evenLightImg, evenLight,
// rotateImg and rotate.
#include <algorithm>

#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_ndarray.hpp"
#include "common/py_values.hpp"
#include "dravio/image_tools.hpp"
#include "dravio/py_module.hpp"

namespace dravio {

namespace {

// The plane a channel key names, keys compared as Python compares them.
Plane plane_for(py::handle channel) {
    static constexpr std::pair<const char*, Plane> keys[] = {
        {"h", Plane::hue},  {"s", Plane::saturation}, {"v", Plane::value},
        {"b", Plane::blue}, {"g", Plane::green},      {"r", Plane::red},
    };
    for (const auto& [key, plane] : keys)
        if (channel.equal(py::str(key))) return plane;
    return Plane::grey;
}

int tile_count(py::handle size) {
    if (PyFloat_Check(size.ptr()) || !PyIndex_Check(size.ptr()))
        throw py::type_error("evenLightImg() size must be an integer number of tiles, not " +
                             std::string(py::str(py::type::handle_of(size).attr("__name__"))));
    const long long tiles = common::to_index(size, "size");
    if (tiles < 1 || tiles > INT_MAX)
        throw py::value_error("evenLightImg() size must be a positive number of tiles, got " + std::to_string(tiles));
    return static_cast<int>(tiles);
}

py::list to_list(std::vector<cv::Mat>& images) {
    py::list result;
    for (auto& image : images) result.append(common::to_array(std::move(image)));
    return result;
}

// The paths of the folder's JPEG files, from the module's GetFiles.
std::vector<std::string> jpeg_files(const py::module_& m, py::handle folder) {
    std::vector<std::string> paths;
    for (auto path : m.attr("GetFiles")(folder, ".jpg")) paths.push_back(common::fs_path(path));
    return paths;
}

py::array white_image(const py::object& img) {
    py::object shape = img.attr("shape");
    const auto height = common::to_index(shape[py::int_(0)], "img.shape[0]");
    const auto width = common::to_index(shape[py::int_(1)], "img.shape[1]");
    py::array_t<uint8_t> image({height, width, 3LL});
    uint8_t* pixels = image.mutable_data();
    const auto count = static_cast<size_t>(image.size());
    common::core_call([&] { std::fill_n(pixels, count, uint8_t{255}); });
    return std::move(image);
}

py::array random_image(const py::object& h, const py::object& v) {
    // NumPy's global generator, so that numpy.random.seed() makes it repeatable.
    py::array_t<double> fractions = py::module_::import("numpy").attr("random").attr("rand")(v, h, 3);
    py::array_t<uint8_t> image(std::vector<py::ssize_t>(fractions.shape(), fractions.shape() + fractions.ndim()));
    const double* in = fractions.data();
    uint8_t* out = image.mutable_data();
    const auto count = static_cast<size_t>(fractions.size());
    common::core_call([&] { fractions_to_bytes(in, out, count); });
    return std::move(image);
}

py::object even_light_image(const py::object& img, const py::object& size, const py::object& channel) {
    const int tiles = tile_count(size);
    const Plane plane = plane_for(channel);
    const common::MatView image = common::mat_view(img, "img");
    return common::to_array(common::core_call([&] { return even_light(image.mat, tiles, plane); }));
}

py::object rotate_one(const py::object& img) {
    // The image's shape must have a third entry, as for a colour image.
    py::object shape = img.attr("shape");
    py::object channels = shape[py::int_(2)];  // evaluated here: IndexError for a 2-D image
    const common::MatView image = common::mat_view(img, "img");
    // A single-channel image keeps its third axis.
    return common::to_array(common::core_call([&] { return rotate_image(image.mat); })).attr("reshape")(shape);
}

py::object rotate_any(const py::module_& m, const py::object& input) {
    py::object map = py::module_::import("builtins").attr("map");
    if (py::isinstance<py::str>(input)) {
        const std::vector<std::string> paths = jpeg_files(m, input);
        std::vector<cv::Mat> images = common::core_call([&] { return rotate_files(paths); });
        return to_list(images);
    }
    // A list of paths: read and turned one by one as the iterator is consumed.
    if (py::hasattr(input, "__getitem__") && py::isinstance<py::str>(input[py::int_(0)]))
        return map(m.attr("rotateImg"), map(m.attr("cv_imread"), input));
    const auto dimensions = py::len(py::module_::import("numpy").attr("shape")(input));
    if (dimensions == 4) return map(m.attr("rotateImg"), input);  // a stack, turned image by image
    if (dimensions == 3) return rotate_one(input);
    common::print(py::str("input Error"));
    return py::none();
}

}  // namespace

void declare_images(py::module_& m) {
    common::def(m, "cv_GenImage(img, /)",
                "A white 8-bit colour image (height x width x 3, all 255) of img's height and width.",
                [](py::object img) { return white_image(img); });

    common::def(m, "cv_RandomImg(h, v)",
                "A random 8-bit colour image h wide and v high (shape (v, h, 3)), values 0..254,\n"
                "from NumPy's global random generator.",
                [](py::object h, py::object v) { return random_image(h, v); });

    common::def(
        m, "evenLightImg(img, size, channel='gray')",
        "One plane of the BGR image img, evened out with CLAHE (clip limit 5, a size x size\n"
        "tile grid): channel 'h', 's' or 'v' picks a plane of its HSV form, 'b', 'g' or 'r'\n"
        "one of its own planes, anything else its grey form. Returns the equalised plane\n"
        "(height x width). size must be an integer from 1 to the image's shorter side\n"
        "(TypeError, ValueError otherwise).",
        [](py::object img, py::object size, py::object channel) { return even_light_image(img, size, channel); });

    common::def(m, "evenLight(input, /)",
                "evenLightImg(image, 21) of every JPEG image of the folder input, in GetFiles'\n"
                "order, several files at once; None when input is not a str.",
                [m](py::object input) -> py::object {
                    if (!py::isinstance<py::str>(input)) return py::none();
                    const std::vector<std::string> paths = jpeg_files(m, input);
                    std::vector<cv::Mat> planes = common::core_call([&] { return even_light_files(paths); });
                    return to_list(planes);
                });

    common::def(m, "rotateImg(img, /)",
                "img (height x width x channels) turned by 90 degrees counter-clockwise about its\n"
                "centre at scale 1, keeping its size; corners from outside the image are black.\n"
                "IndexError for an image without a third dimension.",
                [](py::object img) { return rotate_one(img); });

    common::def(m, "rotate(input, /)",
                "rotateImg applied to: every JPEG image of a folder (input a str; a list), the\n"
                "images of a list of paths (a lazy iterator: each file is read when reached), the\n"
                "images of an N x height x width x channels stack (a lazy iterator), or one image\n"
                "(the turned image). Anything else prints 'input Error' and returns None.",
                [m](py::object input) { return rotate_any(m, input); });
}

}  // namespace dravio
