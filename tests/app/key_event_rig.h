#pragma once

#include "app/keyboard/keyboard.h"
#include "app/keyboard/xkb_layout.h"

#include <linux/input.h>

#include <memory>
#include <string>
#include <vector>

struct xkb_state;

namespace lorvent::testing {

// One record of a key-event stream as the tests write it down: "KEY_A 1",
// "SYN", "pause 200".
std::string DescribeEvent(const input_event& event);

// The whole input_event records waiting on `fd` (non-blocking).
std::vector<input_event> DrainEvents(int fd);

// Turns key events into text the way a compositor does for its clients: an
// xkb_state of the layout follows each key, and each press gives the
// character of the state before it (the press of Shift changes what the next
// key gives, not itself).
class TCompositor {
public:
    TCompositor(const TXkbLayout& layout, TLockState locks);
    ~TCompositor();
    TCompositor(const TCompositor&) = delete;
    TCompositor& operator=(const TCompositor&) = delete;

    void Feed(const input_event& event);
    const std::string& Text() const { return text_; }

private:
    xkb_state* state_;
    std::string text_;
};

// Layout names as LORVENT_XKB_LAYOUT writes them: "cz", "de(nodeadkeys)".
std::unique_ptr<TXkbLayout> CompiledLayout(const std::string& names);

// An EV_LED record as the kernel hands the seat's lights to the device.
input_event Light(int led, bool on);

} // namespace lorvent::testing
