// Module Tavelin: the capture record, phase masks, contour masks, clips and
// clock time, and the readers of frames of a recording.
#include "tavelin/py_module.hpp"
#include "common/py_binding.hpp"

namespace {

// Puts the methods of `cls` in the order given, as a class statement listing
// them in that order would (they are defined by several files).
void order_methods(pybind11::handle cls, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        pybind11::object method = cls.attr("__dict__")[name];
        pybind11::delattr(cls, name);
        pybind11::setattr(cls, name, method);
    }
}

}  // namespace

TOOLKIT_MODULE(Tavelin, m) {
    m.doc() =
        "Capture and phase analysis: Capture, Phases, Clip, TimeCal, the phase and\n"
        "contour masks, and the frame readers of a multi-file recording.";

    // What the module's functions find as globals: the helpers, Video and
    // GetCaptures, the picker, and two functions of Dravio.
    common::import_star(m, "Hollark");
    common::import_star(m, "Tessil");
    common::import_star(m, "Rimwell");
    common::import_names(m, "Dravio", {"GetIndex", "cv_GenImage"});

    tavelin::declare_capture(m);
    tavelin::declare_phases(m);
    tavelin::declare_contour_mask(m);
    tavelin::declare_frame_readers(m);
    tavelin::declare_image_folder(m);
    tavelin::declare_frame_reader_access(m);
    order_methods(m.attr("Capture"),
                  {"__init__", "GetFrame", "Separate", "Rimwell", "CalArea", "ColorFrame", "WriteFile", "_destory"});
}
