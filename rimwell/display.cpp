#include "rimwell/display.hpp"

#include <cstdlib>

#ifdef __linux__
#include <dlfcn.h>
#endif

namespace rimwell {

namespace {

bool is_set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

#ifdef __linux__
// True when an X connection to `display` opens, or when it cannot be tried
// (libxcb missing: the GUI will say what it finds).
bool x_display_answers() {
    struct Connection;
    using Connect = Connection* (*)(const char*, int*);
    using HasError = int (*)(Connection*);
    using Disconnect = void (*)(Connection*);
    // Kept loaded: Qt loads the same library, and unloading gains nothing.
    static void* const xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) return true;
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto has_error = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    if (!connect || !has_error || !disconnect) return true;
    Connection* connection = connect(nullptr, nullptr);  // the display DISPLAY names
    const bool answers = has_error(connection) == 0;
    disconnect(connection);  // also frees a connection in error
    return answers;
}
#endif

}  // namespace

std::string display_problem() {
#ifdef __linux__
    if (is_set("QT_QPA_PLATFORM")) return {};
    if (!is_set("DISPLAY")) {
        if (is_set("WAYLAND_DISPLAY")) return {};
        return "no display to show the window on: DISPLAY is not set";
    }
    if (!x_display_answers())
        return std::string("cannot open the display DISPLAY=") + std::getenv("DISPLAY") +
               " to show the window on: no X server answers there";
#endif
    return {};
}

}  // namespace rimwell
