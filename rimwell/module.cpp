// Module Rimwell: picking outlines of an image with the mouse.
#include "common/binding.hpp"

namespace py = pybind11;

PYBIND11_MODULE(Rimwell, m) {
    common::init_module(m);
    m.doc() = "Interactive contour filter: ContoursFilterByMouse.";
    for (const char* name : {"cv2", "copy", "time"}) common::import_module(m, name);
}
