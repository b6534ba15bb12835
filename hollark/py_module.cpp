// Module Hollark: image-file and mask helpers that the toolkit's modules
// receive through star imports.
#include <opencv2/core.hpp>

#include "common/image_io.hpp"
#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_ndarray.hpp"
#include "common/py_values.hpp"

namespace py = pybind11;

namespace {

// Combines two masks into a new one; the inputs are not changed.
template <typename Combine>
py::object combine_masks(const py::object& mask, const py::object& term, Combine combine) {
    const common::MatView running = common::mask_view(mask, "mask");
    const common::MatView other = common::mask_view(term, "term");
    py::array result = common::to_array(common::core_call([&] {
        cv::Mat combined;
        combine(running.mat, other.mat, combined);
        return combined;
    }));
    // A 1-D mask is a column to OpenCV; the result keeps the mask's own shape.
    if (py::array(running.owner).ndim() == 1) return result.attr("reshape")(-1);
    return std::move(result);
}

// cvFun.cv_toVideo is Dravio.cv_toVideo, looked up when it is used, since
// Dravio itself imports this module.
py::object cv_fun_module() {
    py::module_ cv_fun = py::module_::import("types").attr("ModuleType")(
        "cvFun", "Video helpers: cv_toVideo, which is Dravio.cv_toVideo.");
    common::def(cv_fun, "__getattr__(name)", "Resolves cv_toVideo to Dravio.cv_toVideo.", [](py::object name) {
        const std::string wanted = py::str(name);
        if (wanted == "cv_toVideo") {
            py::module_ dravio = py::module_::import("Dravio");
            if (py::hasattr(dravio, "cv_toVideo")) return py::object(dravio.attr("cv_toVideo"));
            throw py::attribute_error(
                "module 'cvFun' has no attribute 'cv_toVideo': this build of Dravio has no cv_toVideo");
        }
        throw py::attribute_error("module 'cvFun' has no attribute '" + wanted + "'");
    });
    return cv_fun;
}

}  // namespace

TOOLKIT_MODULE(Hollark, m) {
    m.doc() =
        "Image-file and mask helpers: np, cv2, cv_imread, cv_imsave, bitwise_plus,\n"
        "bitwise_miner and cvFun.";

    m.attr("np") = py::module_::import("numpy");
    m.attr("cv2") = py::module_::import("cv2");

    common::def(m, "cv_imread(path)",
                "The 8-bit BGR image of the file at path (any file name, non-ASCII included).\n"
                "FileNotFoundError when it does not exist, ValueError when it holds no image.",
                [](py::object path) {
                    const std::string file = common::fs_path(path);
                    return common::to_array(common::core_call([&] { return common::read_image(file); }));
                });

    common::def(m, "cv_imsave(image, base, ext)",
                "Writes image to the file base + ext in the format ext names ('.jpg', '.png',\n"
                "'.bmp', ...). The image may be a slice of a larger array. OSError naming the\n"
                "file when it cannot be written.",
                [](py::object image, py::object base, py::object ext) {
                    const common::MatView pixels = common::mat_view(image, "image");
                    const std::string extension = common::fs_path(ext);
                    const std::string path = common::fs_path(base) + extension;
                    common::core_call([&] { common::save_image(pixels.mat, path, extension); });
                });

    common::def(m, "bitwise_plus(mask, term)", "The union of two masks of equal size, as a new mask.",
                [](py::object mask, py::object term) {
                    return combine_masks(mask, term, [](const cv::Mat& x, const cv::Mat& y, cv::Mat& out) {
                        cv::bitwise_or(x, y, out);
                    });
                });

    common::def(m, "bitwise_miner(mask, term)",
                "The difference of two masks of equal size (mask AND NOT term), as a new mask.",
                [](py::object mask, py::object term) {
                    return combine_masks(mask, term, [](const cv::Mat& x, const cv::Mat& y, cv::Mat& out) {
                        cv::Mat outside;
                        cv::bitwise_not(y, outside);
                        cv::bitwise_and(x, outside, out);
                    });
                });

    m.attr("cvFun") = cv_fun_module();
}
