#pragma once

#include "keyboard.h"
#include "xkb_layout.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

struct libevdev;

namespace lorvent {

inline constexpr const char* kCannotType = "Klávesnici nelze simulovat: ";

// Names the keyboard backend against the session's own choice: "xtest" for
// sites whose target program runs under Xwayland, "uinput" on X11 too.
inline constexpr const char* kKeyboardVariable = "LORVENT_KEYBOARD";

enum class TKeyboardBackend { XTest, Uinput };

struct TSessionFacts {
    std::string forced;         // LORVENT_KEYBOARD
    std::string waylandDisplay; // WAYLAND_DISPLAY
    std::string sessionType;    // XDG_SESSION_TYPE
};

// X11 types through XTEST; a Wayland session, where XTEST reaches only the
// programs under Xwayland, through a kernel-level keyboard. Empty when the
// forced name is not one of ours.
std::optional<TKeyboardBackend> ChooseKeyboardBackend(const TSessionFacts& facts);

std::unique_ptr<TKeyboard> MakeXTestKeyboard();

// What the uinput keyboard works on: a descriptor that takes key events as
// input_event records and gives back the lights the seat sets, and the
// session's layout. `owner` keeps the device behind the descriptor alive.
struct TUinputSetup {
    int fd = -1;
    std::unique_ptr<TXkbLayout> layout;
    std::shared_ptr<void> owner;
    std::string problem; // why nothing can be typed; the rest is then unset
};

// The uinput keyboard; `connect` is called once, on first use, and what it
// gives is kept for the keyboard's life.
std::unique_ptr<TKeyboard> MakeUinputKeyboard(std::function<TUinputSetup()> connect);
// A virtual keyboard made through /dev/uinput with the session's layout.
TUinputSetup CreateUinputDevice();
// What that keyboard declares: every key a layout may use and the seat's
// lock lights. The caller frees it with libevdev_free.
libevdev* VirtualKeyboardDescription(const char* name);

// The time a compositor gets to take up a new keyboard before its first key:
// keys struck sooner are lost. sway on an emulated machine took 0.14 to 0.29 s
// at the median and up to 0.54 s (bench/uinput_settle); this is about twice
// the slowest, for a busy machine at log-in.
inline constexpr int kAnnouncementSettleMs = 1000;

} // namespace lorvent
