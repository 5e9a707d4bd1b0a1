#include "support/x_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace lorvent::testing {

TConnection::TConnection(const std::string& name) : display(XOpenDisplay(name.c_str())) {}

TConnection::~TConnection() {
    if (display)
        XCloseDisplay(display);
}

namespace {

// _NET_WM_NAME (UTF-8) when set, else WM_NAME.
std::string Title(Display* display, Window window) {
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count,
                           &after, &data) == Success &&
        data != nullptr && count > 0)
        title.assign(reinterpret_cast<char*>(data), count);
    if (data)
        XFree(data);
    if (title.empty()) {
        char* name = nullptr;
        if (XFetchName(display, window, &name) && name) {
            title = name;
            XFree(name);
        }
    }
    return title;
}

} // namespace

std::vector<TXWindow> TopLevelWindows(const std::string& displayName) {
    TConnection connection(displayName);
    std::vector<TXWindow> windows;
    if (!connection.display)
        return windows;
    Display* display = connection.display;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes attributes{};
        XGetWindowAttributes(display, children[i], &attributes);
        windows.push_back({children[i], Title(display, children[i]),
                           attributes.map_state == IsViewable, attributes.x, attributes.y,
                           attributes.width, attributes.height});
    }
    if (children)
        XFree(children);
    return windows;
}

std::optional<TXWindow> FindWindow(const std::string& display, const std::string& title) {
    for (const auto& window : TopLevelWindows(display))
        if (window.title == title && window.viewable)
            return window;
    return std::nullopt;
}

void CloseWindow(const std::string& displayName, unsigned long window) {
    TConnection connection(displayName);
    Display* display = connection.display;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
}

void Iconify(const std::string& displayName, unsigned long window) {
    TConnection connection(displayName);
    Display* display = connection.display;
    const Atom wmState = XInternAtom(display, "WM_STATE", False);
    long state[2] = {IconicState, None};
    XChangeProperty(display, window, wmState, wmState, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(state), 2);
    XUnmapWindow(display, window);
    XSync(display, False);
}

QImage Capture(const std::string& displayName, unsigned long window) {
    TConnection connection(displayName);
    Display* display = connection.display;
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    XImage* shot = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                             static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    QImage image(attributes.width, attributes.height, QImage::Format_RGB32);
    for (int y = 0; shot && y < attributes.height; ++y)
        for (int x = 0; x < attributes.width; ++x)
            image.setPixel(x, y, static_cast<QRgb>(XGetPixel(shot, x, y)) | 0xff000000u);
    if (shot)
        XDestroyImage(shot);
    return image;
}

} // namespace lorvent::testing
