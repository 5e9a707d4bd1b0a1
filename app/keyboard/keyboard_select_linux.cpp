// The keyboard backend of a Linux session, chosen at start-up.
#include "keyboard_select.h"

#include "keyboard_uinput.h"
#include "keyboard_xtest.h"
#include "uinput_device.h"

#include <cstdlib>

namespace lorvent {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

std::optional<TKeyboardBackend> ChooseKeyboardBackend(const TSessionFacts& facts) {
    if (facts.forced == "xtest")
        return TKeyboardBackend::XTest;
    if (facts.forced == "uinput")
        return TKeyboardBackend::Uinput;
    if (!facts.forced.empty())
        return std::nullopt;
    if (!facts.waylandDisplay.empty() || facts.sessionType == "wayland")
        return TKeyboardBackend::Uinput;
    return TKeyboardBackend::XTest;
}

std::unique_ptr<TKeyboard> MakePlatformKeyboard() {
    const TSessionFacts facts{Environment(kKeyboardVariable), Environment("WAYLAND_DISPLAY"),
                              Environment("XDG_SESSION_TYPE")};
    const auto backend = ChooseKeyboardBackend(facts);
    if (backend == TKeyboardBackend::XTest)
        return MakeXTestKeyboard();
    if (backend == TKeyboardBackend::Uinput)
        return MakeUinputKeyboard(CreateUinputDevice);
    // A keyboard that only says why it cannot type.
    return MakeUinputKeyboard([forced = facts.forced] {
        TUinputSetup refused;
        refused.problem = std::string(kKeyboardVariable) + "=" + forced +
                          " neznámá hodnota (platí xtest nebo uinput)";
        return refused;
    });
}

} // namespace lorvent
