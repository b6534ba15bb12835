// Module Rimwell: picking outlines of an image with the mouse.
#include <vector>

#include "common/binding.hpp"
#include "common/ndarray.hpp"
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

py::object contours_filter_by_mouse(common::Args& a) {
    const common::MatView image = common::mat_view(a[0], "images");
    rimwell::Picking picking;
    {
        // Wait with the GIL released, so other Python threads keep running; the
        // mouse handler touches only C++ state. Ctrl-C is looked at between waits.
        py::gil_scoped_release release;
        picking = rimwell::pick_outlines(image.mat, [] {
            py::gil_scoped_acquire gil;
            return PyErr_CheckSignals() == 0;
        });
    }
    if (picking.end == rimwell::PickEnd::Interrupted) throw py::error_already_set();
    return picked_outlines(picking);
}

}  // namespace

PYBIND11_MODULE(Rimwell, m) {
    common::init_module(m);
    m.doc() = "Interactive contour filter: ContoursFilterByMouse.";
    for (const char* name : {"cv2", "copy", "time"}) common::import_module(m, name);

    common::def(m, "ContoursFilterByMouse(images)",
                "Shows the BGR image images in the window \"Image\" with every outline of its\n"
                "regions brighter than 127 (and of their holes) drawn in red. Each left click\n"
                "picks the outline whose edge is nearest to the point (the earlier one on ties)\n"
                "and draws it in green. Enter, or closing the window, ends the picking and\n"
                "returns the picked outlines in click order, as cv2.findContours gives them\n"
                "(an outline picked twice appears twice). The caller's image is not drawn on.",
                contours_filter_by_mouse);
}
