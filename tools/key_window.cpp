// lorvent-key-window: a small X window that receives the keystrokes typed
// into it and reports them on standard output, one line each:
//   ready <window id>          mapped and holding the focus
//   key <keysym> <modifiers>   a key press, modifiers e.g. "shift+ctrl" or "-"
//   time <ms>                  with --times, before each key line: the X
//                              server's time of the press
//   line <text>                Return ended a line of typed characters
// Options:
//   --keep-focus   take the focus back whenever another window takes it
//   --times        report the server's time of each key press
//   --grab         hold the whole keyboard (every key comes here, wherever the
//                  focus is); Escape then ends the program
//   --title TEXT   window title
// Used by the demo, so that typed card numbers can never land in a terminal,
// and by the end-to-end tests.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct TOptions {
    bool keepFocus = false;
    bool grab = false;
    bool times = false;
    std::string title = "Lorvent demo: typed card numbers";
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep-focus") == 0)
            options.keepFocus = true;
        else if (std::strcmp(argv[i], "--grab") == 0)
            options.grab = true;
        else if (std::strcmp(argv[i], "--times") == 0)
            options.times = true;
        else if (std::strcmp(argv[i], "--title") == 0 && i + 1 < argc)
            options.title = argv[++i];
    }
    return options;
}

std::string Modifiers(unsigned state) {
    std::string text;
    auto add = [&](unsigned mask, const char* name) {
        if (state & mask)
            text += text.empty() ? name : std::string("+") + name;
    };
    add(ShiftMask, "shift");
    add(ControlMask, "ctrl");
    add(Mod1Mask, "alt");
    return text.empty() ? "-" : text;
}

bool GrabKeyboard(Display* display, Window window) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (XGrabKeyboard(display, window, False, GrabModeAsync, GrabModeAsync, CurrentTime) ==
            GrabSuccess)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

Window MakeWindow(Display* display, const TOptions& options, Atom deleteWindow) {
    const int screen = DefaultScreen(display);
    const Window window =
        XCreateSimpleWindow(display, RootWindow(display, screen), 400, 80, 360, 120, 1,
                            BlackPixel(display, screen), WhitePixel(display, screen));
    XStoreName(display, window, options.title.c_str());
    XSelectInput(display, window, KeyPressMask | FocusChangeMask | StructureNotifyMask);
    XSetWMProtocols(display, window, &deleteWindow, 1);
    XMapRaised(display, window);
    return window;
}

void WaitMapped(Display* display, Window window) {
    XEvent event;
    do
        XWindowEvent(display, window, StructureNotifyMask, &event);
    while (event.type != MapNotify);
}

} // namespace

int main(int argc, char** argv) {
    const TOptions options = ParseOptions(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "lorvent-key-window: cannot open the display\n");
        return 2;
    }
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    const Window window = MakeWindow(display, options, deleteWindow);
    WaitMapped(display, window);
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    if (options.grab && !GrabKeyboard(display, window)) {
        std::fprintf(stderr, "lorvent-key-window: cannot hold the keyboard\n");
        return 3;
    }
    XSync(display, False);
    std::printf("ready 0x%lx\n", window);

    std::string line;
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify) {
            XRefreshKeyboardMapping(&event.xmapping);
        } else if (event.type == FocusOut && options.keepFocus) {
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
        } else if (event.type == ClientMessage &&
                   static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow) {
            break;
        } else if (event.type == KeyPress) {
            char text[16] = {};
            KeySym keysym = NoSymbol;
            const int count = XLookupString(&event.xkey, text, sizeof text - 1, &keysym, nullptr);
            const char* name = XKeysymToString(keysym);
            if (options.times)
                std::printf("time %lu\n", static_cast<unsigned long>(event.xkey.time));
            std::printf("key %s %s\n", name ? name : "NoSymbol",
                        Modifiers(event.xkey.state).c_str());
            if (keysym == XK_Escape && options.grab)
                break;
            if (keysym == XK_Return || keysym == XK_KP_Enter) {
                std::printf("line %s\n", line.c_str());
                line.clear();
            } else if (count == 1 && text[0] >= 0x20 && text[0] < 0x7f) {
                line += text[0];
            }
        }
    }
    XCloseDisplay(display);
    return 0;
}
