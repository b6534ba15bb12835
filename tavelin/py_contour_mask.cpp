// Masks of hand-picked outlines: the module-level Rimwell and Capture.Rimwell.
#include <vector>

#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_ndarray.hpp"
#include "common/py_values.hpp"
#include "tavelin/contour_mask.hpp"
#include "tavelin/py_module.hpp"

namespace tavelin {

namespace {

// Lets the user pick outlines of `image` with ContoursFilterByMouse, as the
// module's globals name it, and returns their filled mask.
py::object contour_mask(const py::module_& m, const py::object& image) {
    py::object picked = m.attr("ContoursFilterByMouse")(image);
    py::object shape = image.attr("shape");
    const cv::Size size(common::to_extent(shape[py::int_(1)], "image.shape[1]"),
                        common::to_extent(shape[py::int_(0)], "image.shape[0]"));
    std::vector<common::MatView> views;
    std::vector<cv::Mat> outlines;
    for (py::handle outline : picked) {
        views.push_back(common::mat_view(outline, "outline"));
        outlines.push_back(views.back().mat);
    }
    return common::to_array(common::core_call([&] { return fill_outlines(size, outlines); }));
}

}  // namespace

void declare_contour_mask(py::module_& m) {
    common::def(m, "Rimwell(image)",
                "Lets the user pick outlines of the BGR image image with the mouse\n"
                "(ContoursFilterByMouse) and returns a new uint8 mask of the image's height and\n"
                "width: 255 inside and on every picked outline (holes included), 0 elsewhere.",
                [m](py::object image) { return contour_mask(m, image); });

    common::def_method(m.attr("Capture"), "Rimwell(self)",
                       "Sets PhaseNum to 1, appends the mask of the outlines the user picks in the\n"
                       "frame (the module-level Rimwell) to Phase_frames and sets Phase_frames_names\n"
                       "to ['1'].",
                       [m](py::object self) {
                           self.attr("PhaseNum") = py::int_(1);
                           // Phase_frames and frame are looked up before the window opens.
                           py::object append = self.attr("Phase_frames").attr("append");
                           py::object frame = self.attr("frame");
                           append(m.attr("Rimwell")(frame));
                           self.attr("Phase_frames_names") = py::list(py::make_tuple("1"));
                       });
}

}  // namespace tavelin
