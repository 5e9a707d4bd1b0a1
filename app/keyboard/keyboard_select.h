#pragma once

#include <optional>
#include <string>

namespace lorvent {

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

} // namespace lorvent
