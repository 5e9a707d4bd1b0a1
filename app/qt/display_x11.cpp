#include "display.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <string>

namespace lorvent {

namespace {

Display* probe = nullptr;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

// Only the X11 platform is checked here; others (offscreen, wayland) report
// their own failure through the toolkit's fatal-message path.
std::string DisplayProblem() {
    // Xlib must hear of threads before anything else is done with it; the
    // toolkit would otherwise call this after our connection already exists.
    XInitThreads();
    const std::string platform = Environment("QT_QPA_PLATFORM");
    if (!platform.empty() && platform.rfind("xcb", 0) != 0)
        return {};
    const std::string display = Environment("DISPLAY");
    if (display.empty()) {
        if (platform.empty() && !Environment("WAYLAND_DISPLAY").empty())
            return {};
        return "no display to open (DISPLAY is not set)";
    }
    EndDisplayProbe();
    probe = XOpenDisplay(display.c_str());
    if (probe == nullptr)
        return "cannot open display '" + display + "'";
    return {};
}

void EndDisplayProbe() {
    if (probe != nullptr)
        XCloseDisplay(probe);
    probe = nullptr;
}

} // namespace lorvent
