// Module Hollark: image-file and mask helpers that the toolkit's modules
// receive through star imports.
#include <opencv2/core.hpp>

#include "common/binding.hpp"
#include "common/image_io.hpp"
#include "common/ndarray.hpp"
#include "common/pyvalues.hpp"

namespace py = pybind11;
using common::Args;

namespace {

// Combines two masks into a new one; the inputs are not changed.
template <typename Combine>
py::object combine_masks(Args& a, Combine combine) {
    common::MatView running = common::mat_view(a[0], "mask");
    common::MatView term = common::mat_view(a[1], "term");
    cv::Mat result;
    {
        py::gil_scoped_release unlocked;
        combine(running.mat, term.mat, result);
    }
    return common::to_array(std::move(result));
}

}  // namespace

PYBIND11_MODULE(Hollark, m) {
    common::init_module(m);
    m.doc() = "Image-file and mask helpers: np, cv2, cv_imread, cv_imsave, bitwise_plus,\n"
              "bitwise_miner and cvFun.";

    m.attr("np") = py::module_::import("numpy");
    m.attr("cv2") = py::module_::import("cv2");

    common::def(m, "cv_imread(path)",
                "The 8-bit BGR image of the file at path (any file name, non-ASCII included).\n"
                "FileNotFoundError when it does not exist, ValueError when it holds no image.",
                [](Args& a) -> py::object {
                    const std::string path = common::fs_path(a[0]);
                    cv::Mat image;
                    {
                        py::gil_scoped_release unlocked;
                        image = common::read_image(path);
                    }
                    return common::to_array(std::move(image));
                });

    common::def(m, "cv_imsave(image, base, ext)",
                "Writes image to the file base + ext in the format ext names ('.jpg', '.png',\n"
                "'.bmp', ...). The image may be a slice of a larger array. OSError naming the\n"
                "file when it cannot be written.",
                [](Args& a) -> py::object {
                    common::MatView image = common::mat_view(a[0], "image");
                    const std::string extension = common::fs_path(a[2]);
                    const std::string path = common::fs_path(a[1]) + extension;
                    {
                        py::gil_scoped_release unlocked;
                        common::save_image(image.mat, path, extension);
                    }
                    return py::none();
                });

    common::def(m, "bitwise_plus(mask, term)",
                "The union of two masks of equal size, as a new mask.",
                [](Args& a) {
                    return combine_masks(a, [](const cv::Mat& x, const cv::Mat& y, cv::Mat& out) {
                        cv::bitwise_or(x, y, out);
                    });
                });

    common::def(m, "bitwise_miner(mask, term)",
                "The difference of two masks of equal size (mask AND NOT term), as a new mask.",
                [](Args& a) {
                    return combine_masks(a, [](const cv::Mat& x, const cv::Mat& y, cv::Mat& out) {
                        cv::Mat outside;
                        cv::bitwise_not(y, outside);
                        cv::bitwise_and(x, outside, out);
                    });
                });

    // cvFun.cv_toVideo is Dravio.cv_toVideo, looked up when it is used, since
    // Dravio itself imports this module.
    py::module_ cv_fun = py::module_::import("types").attr("ModuleType")(
        "cvFun", "Video helpers: cv_toVideo, which is Dravio.cv_toVideo.");
    py::object module_getattr = common::def(
        cv_fun, "__getattr__(name)", "Resolves cv_toVideo to Dravio.cv_toVideo.",
        [](Args& a) -> py::object {
            const std::string name = py::str(a[0]);
            if (name == "cv_toVideo") {
                py::module_ dravio = py::module_::import("Dravio");
                if (py::hasattr(dravio, "cv_toVideo")) return dravio.attr("cv_toVideo");
                throw py::attribute_error("module 'cvFun' has no attribute 'cv_toVideo': this build of Dravio has no cv_toVideo");
            }
            throw py::attribute_error("module 'cvFun' has no attribute '" + name + "'");
        });
    (void)module_getattr;
    m.attr("cvFun") = cv_fun;
}
