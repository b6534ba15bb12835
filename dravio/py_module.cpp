// Module Dravio: frame selection across the files of a recording, image
// factories, and the video and image utilities.
#include "dravio/py_module.hpp"
#include "common/py_binding.hpp"

TOOLKIT_MODULE(Dravio, m) {
    m.doc() =
        "Image and video utilities: frame selection across the files of a recording,\n"
        "blank and random images, video writers and converters, concatenation,\n"
        "time-lapse, even lighting and rotation.";

    common::import_module(m, "imageio");
    common::import_module(m, "copy");
    common::import_star(m, "Hollark");
    common::import_star(m, "Wendrel");

    dravio::declare_selection(m);
    dravio::declare_images(m);
    dravio::declare_video(m);
}
