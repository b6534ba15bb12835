// Dravio's image functions: evenLightImg, evenLight, rotateImg and rotate.
#include "common/binding.hpp"
#include "common/ndarray.hpp"
#include "common/pyvalues.hpp"
#include "dravio/bindings.hpp"
#include "dravio/image_tools.hpp"

namespace dravio {

namespace {

using common::Args;

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
    const long long tiles = common::to_index(size);
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
std::vector<std::string> jpeg_files(py::module_& m, py::handle folder) {
    std::vector<std::string> paths;
    for (auto path : m.attr("GetFiles")(folder, ".jpg")) paths.push_back(common::fs_path(path));
    return paths;
}

py::object even_light_image(Args& a) {
    const int tiles = tile_count(a[1]);
    const Plane plane = plane_for(a[2]);
    common::MatView image = common::mat_view(a[0], "img");
    cv::Mat result;
    {
        py::gil_scoped_release unlocked;
        result = even_light(image.mat, tiles, plane);
    }
    return common::to_array(std::move(result));
}

py::object rotate_one(Args& a) {
    // The image's shape must have a third entry, as for a colour image.
    py::object shape = a[0].attr("shape");
    py::object channels = shape[py::int_(2)];  // evaluated here: IndexError for a 2-D image
    common::MatView image = common::mat_view(a[0], "img");
    cv::Mat result;
    {
        py::gil_scoped_release unlocked;
        result = rotate_image(image.mat);
    }
    // A single-channel image keeps its third axis.
    return common::to_array(std::move(result)).attr("reshape")(shape);
}

py::object rotate_any(py::module_& m, Args& a) {
    py::object input = a[0];
    py::object map = py::module_::import("builtins").attr("map");
    if (py::isinstance<py::str>(input)) {
        const std::vector<std::string> paths = jpeg_files(m, input);
        std::vector<cv::Mat> images;
        {
            py::gil_scoped_release unlocked;
            images = rotate_files(paths, check_signals);
        }
        return to_list(images);
    }
    // A list of paths: read and turned one by one as the iterator is consumed.
    if (py::hasattr(input, "__getitem__") && py::isinstance<py::str>(input[py::int_(0)]))
        return map(m.attr("rotateImg"), map(m.attr("cv_imread"), input));
    const auto dimensions = py::len(py::module_::import("numpy").attr("shape")(input));
    if (dimensions == 4) return map(m.attr("rotateImg"), input);  // a stack, turned image by image
    if (dimensions == 3) {
        Args one{input};
        return rotate_one(one);
    }
    common::print(py::str("input Error"));
    return py::none();
}

}  // namespace

void declare_images(py::module_& m) {
    common::def(m, "evenLightImg(img, size, channel='gray')",
                "One plane of the BGR image img, evened out with CLAHE (clip limit 5, a size x size\n"
                "tile grid): channel 'h', 's' or 'v' picks a plane of its HSV form, 'b', 'g' or 'r'\n"
                "one of its own planes, anything else its grey form. Returns the equalised plane\n"
                "(height x width). size must be an integer from 1 to the image's shorter side\n"
                "(TypeError, ValueError otherwise).",
                even_light_image);

    common::def(m, "evenLight(input, /)",
                "evenLightImg(image, 21) of every JPEG image of the folder input, in GetFiles'\n"
                "order, several files at once; None when input is not a str.",
                [m](Args& a) mutable -> py::object {
                    if (!py::isinstance<py::str>(a[0])) return py::none();
                    const std::vector<std::string> paths = jpeg_files(m, a[0]);
                    std::vector<cv::Mat> planes;
                    {
                        py::gil_scoped_release unlocked;
                        planes = even_light_files(paths, check_signals);
                    }
                    return to_list(planes);
                });

    common::def(m, "rotateImg(img, /)",
                "img (height x width x channels) turned by 90 degrees counter-clockwise about its\n"
                "centre at scale 1, keeping its size; corners from outside the image are black.\n"
                "IndexError for an image without a third dimension.",
                rotate_one);

    common::def(m, "rotate(input, /)",
                "rotateImg applied to: every JPEG image of a folder (input a str; a list), the\n"
                "images of a list of paths (a lazy iterator: each file is read when reached), the\n"
                "images of an N x height x width x channels stack (a lazy iterator), or one image\n"
                "(the turned image). Anything else prints 'input Error' and returns None.",
                [m](Args& a) mutable { return rotate_any(m, a); });
}

}  // namespace dravio
