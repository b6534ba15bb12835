// Module Rimwell: picking outlines of an image with the mouse.
#include <vector>

#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_ndarray.hpp"
#include "rimwell/display.hpp"
#include "rimwell/picker.hpp"

namespace py = pybind11;

namespace {

// The picked outlines as cv2.findContours returns outlines (int32 arrays of
// shape (n, 1, 2)); an outline picked more than once is the same array object
// each time, as the candidates are one list of objects.
py::list picked_outlines(const rimwell::Picking& picking) {
    std::vector<py::object> arrays(picking.candidates.size());
    py::list picked;
    for (int index : picking.picked) {
        py::object& array = arrays[index];
        if (!array) array = common::to_array(cv::Mat(picking.candidates[index], true));
        picked.append(array);
    }
    return picked;
}

// Waits with the GIL released, so other Python threads keep running; the
// mouse handler touches only C++ state.
py::object contours_filter_by_mouse(const py::object& images) {
    const common::MatView image = common::mat_view(images, "images");
    const rimwell::Picking picking = common::core_call([&] { return rimwell::pick_outlines(image.mat); });
    return picked_outlines(picking);
}

}  // namespace

TOOLKIT_MODULE(Rimwell, m) {
    m.doc() = "Interactive contour filter: ContoursFilterByMouse.";
    for (const char* name : {"cv2", "copy", "time"}) common::import_module(m, name);

    common::def(m, "ContoursFilterByMouse(images)",
                "Shows the BGR image images in the window \"Image\" with every outline of its\n"
                "regions brighter than 127 (and of their holes) drawn in red. Each left click\n"
                "picks the outline whose edge is nearest to the point (the earlier one on ties)\n"
                "and draws it in green. Enter, or closing the window, ends the picking and\n"
                "returns the picked outlines in click order, as cv2.findContours gives them\n"
                "(an outline picked twice appears twice). The caller's image is not drawn on.",
                [](py::object images) { return contours_filter_by_mouse(images); });

    // For other windows of the toolkit (fluidlab's pick): the picker's check.
    m.def(
        "_display_problem",
        [] {
            const std::string problem = rimwell::display_problem();
            return problem.empty() ? py::object(py::none()) : py::object(py::str(problem));
        },
        "Why no OpenCV window can be shown here (DISPLAY unset, or naming a display that\n"
        "does not answer), or None when one can.");
}
