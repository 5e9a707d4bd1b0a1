#include "support/x_tray_host.h"
#include "support/x_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <poll.h>

#include <chrono>

namespace lorvent::testing {

namespace {

constexpr long kRequestDock = 0;
constexpr int kIconSize = 22;

void Pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
}

} // namespace

TXTrayHost::TXTrayHost(const std::string& display) : displayName_(display) {
    thread_ = std::thread([this] { Run(); });
    for (int i = 0; i < 200 && !started_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TXTrayHost::~TXTrayHost() {
    stop_ = true;
    thread_.join();
}

void TXTrayHost::Run() {
    Display* display = XOpenDisplay(displayName_.c_str());
    if (display == nullptr)
        return;
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const Window tray =
        XCreateSimpleWindow(display, root, 0, 0, 120, kIconSize, 0, 0, WhitePixel(display, screen));
    XMapWindow(display, tray);

    const Atom selection = XInternAtom(display, "_NET_SYSTEM_TRAY_S0", False);
    const Atom opcode = XInternAtom(display, "_NET_SYSTEM_TRAY_OPCODE", False);
    const Atom orientation = XInternAtom(display, "_NET_SYSTEM_TRAY_ORIENTATION", False);
    long horizontal = 0;
    XChangeProperty(display, tray, orientation, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&horizontal), 1);
    XSetSelectionOwner(display, selection, tray, CurrentTime);

    // Tell clients already running that a tray has appeared.
    XEvent manager{};
    manager.xclient.type = ClientMessage;
    manager.xclient.window = root;
    manager.xclient.message_type = XInternAtom(display, "MANAGER", False);
    manager.xclient.format = 32;
    manager.xclient.data.l[0] = CurrentTime;
    manager.xclient.data.l[1] = static_cast<long>(selection);
    manager.xclient.data.l[2] = static_cast<long>(tray);
    XSendEvent(display, root, False, StructureNotifyMask, &manager);
    XSync(display, False);
    started_ = true;

    while (!stop_) {
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, 20);
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == ClientMessage && event.xclient.message_type == opcode &&
                event.xclient.data.l[1] == kRequestDock) {
                const auto icon = static_cast<Window>(event.xclient.data.l[2]);
                XReparentWindow(display, icon, tray, 0, 0);
                XResizeWindow(display, icon, kIconSize, kIconSize);
                XMapRaised(display, icon);
                XSync(display, False);
                icon_ = icon;
            }
        }
    }
    XCloseDisplay(display);
}

void TXTrayHost::ClickIcon(int button, int clicks) {
    TConnection connection(displayName_);
    Display* display = connection.display;
    XTestFakeMotionEvent(display, DefaultScreen(display), kIconSize / 2, kIconSize / 2,
                         CurrentTime);
    XSync(display, False);
    Pause();
    for (int i = 0; i < clicks; ++i) {
        XTestFakeButtonEvent(display, static_cast<unsigned>(button), True, CurrentTime);
        XSync(display, False);
        XTestFakeButtonEvent(display, static_cast<unsigned>(button), False, CurrentTime);
        XSync(display, False);
    }
    Pause();
}

void TXTrayHost::Key(const std::string& keysymName) {
    TConnection connection(displayName_);
    Display* display = connection.display;
    const KeyCode code = XKeysymToKeycode(display, XStringToKeysym(keysymName.c_str()));
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XSync(display, False);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
    Pause();
}

} // namespace lorvent::testing
