#pragma once

#include <QImage>

#include <optional>
#include <string>
#include <vector>

struct _XDisplay; // Xlib's Display, without Xlib's macros

namespace lorvent::testing {

// A connection to an X display for as long as the object lives; null when
// the display cannot be reached.
struct TConnection {
    explicit TConnection(const std::string& name);
    ~TConnection();
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;
    _XDisplay* display;
};

// Top-level windows of an X display as a test sees them, with no window manager.
struct TXWindow {
    unsigned long id;
    std::string title;
    bool viewable;
    int x, y, width, height;
};

std::vector<TXWindow> TopLevelWindows(const std::string& display);
std::optional<TXWindow> FindWindow(const std::string& display, const std::string& title);
// Asks the window to close, as a window manager's close box does.
void CloseWindow(const std::string& display, unsigned long window);
// Minimises the window as a window manager does: WM_STATE iconic, unmapped.
void Iconify(const std::string& display, unsigned long window);
// The window's content as it is on the screen.
QImage Capture(const std::string& display, unsigned long window);

} // namespace lorvent::testing
