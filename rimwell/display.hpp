// Whether a window can be shown: OpenCV's Qt back end aborts the whole
// process when it cannot open its display, so the picker asks first.
#pragma once

#include <string>

namespace rimwell {

// Why no window can be shown ("" when one can): DISPLAY unset, or naming an X
// display that does not answer (tried with a connection of libxcb, the
// library Qt opens it with). A platform chosen through QT_QPA_PLATFORM, and
// Wayland without DISPLAY, are left to the GUI.
std::string display_problem();

}  // namespace rimwell
