// Masks of hand-picked outlines: the module-level Rimwell and Capture.Rimwell.
#include <opencv2/imgproc.hpp>

#include <vector>

#include "common/binding.hpp"
#include "common/ndarray.hpp"
#include "common/pyvalues.hpp"
#include "tavelin/declarations.hpp"

namespace tavelin {

using common::Args;

namespace {

// A mask of `size` that is 255 inside and on every outline, each filled as a
// solid polygon on its own, so the holes of a picked outline are filled too.
// One drawContours call per outline: drawn together (index -1), outlines fill
// by parity, so an outline picked twice would cancel out and a picked hole
// would be cut out of its picked outer outline.
cv::Mat fill_outlines(cv::Size size, const std::vector<cv::Mat>& outlines) {
    cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
    for (int i = 0; i < static_cast<int>(outlines.size()); ++i)
        cv::drawContours(mask, outlines, i, cv::Scalar(255), cv::FILLED);
    return mask;
}

// Lets the user pick outlines of `image` with ContoursFilterByMouse, as the
// module's globals name it, and returns their filled mask.
py::object contour_mask(py::module_& m, Args& a) {
    const py::object& image = a[0];
    py::object picked = m.attr("ContoursFilterByMouse")(image);
    py::object shape = image.attr("shape");
    const cv::Size size(static_cast<int>(common::to_index(shape[py::int_(1)])),
                        static_cast<int>(common::to_index(shape[py::int_(0)])));
    std::vector<common::MatView> views;
    std::vector<cv::Mat> outlines;
    for (py::handle outline : picked) {
        views.push_back(common::mat_view(outline, "outline"));
        outlines.push_back(views.back().mat);
    }
    cv::Mat mask;
    {
        py::gil_scoped_release release;
        mask = fill_outlines(size, outlines);
    }
    return common::to_array(std::move(mask));
}

}  // namespace

void declare_contour_mask(py::module_& m) {
    common::def(m, "Rimwell(image)",
                "Lets the user pick outlines of the BGR image image with the mouse\n"
                "(ContoursFilterByMouse) and returns a new uint8 mask of the image's height and\n"
                "width: 255 inside and on every picked outline (holes included), 0 elsewhere.",
                [m](Args& a) mutable { return contour_mask(m, a); });

    common::def_method(m.attr("Capture"), "Rimwell(self)",
                       "Sets PhaseNum to 1, appends the mask of the outlines the user picks in the\n"
                       "frame (the module-level Rimwell) to Phase_frames and sets Phase_frames_names\n"
                       "to ['1'].",
                       [m](Args& a) mutable -> py::object {
                           py::object self = a[0];
                           self.attr("PhaseNum") = py::int_(1);
                           // Phase_frames and frame are looked up before the window opens.
                           py::object append = self.attr("Phase_frames").attr("append");
                           py::object frame = self.attr("frame");
                           append(m.attr("Rimwell")(frame));
                           self.attr("Phase_frames_names") = py::list(py::make_tuple("1"));
                           return py::none();
                       });
}

}  // namespace tavelin
