#pragma once

#include "keyboard.h"
#include "xkb_layout.h"

#include <functional>
#include <memory>
#include <string>

namespace lorvent {

// The pause between two characters typed through uinput. The kernel keeps
// 64 events for each reader of the device (63 of them usable: a full ring
// drops all it holds), and a compositor that does not read for a while loses
// whatever comes beyond. A character's stroke is at most 12 events: the key
// pressed and released with Shift and AltGr held around it, each event with
// its report. With 40 ms between characters a stall of 150 ms spans at most
// floor(150 / 40) + 1 = 4 of them, 48 events; besides them only the Enter
// (4 events) can fall in the same 150 ms, as the 100 ms before it keeps the
// characters away and the prefix is followed by 200 ms: 52 of 63, the rest a
// margin for events not yet read when the stall began. 38 ms would still
// give 4; 30 ms would give 6 (72 events).
inline constexpr int kUinputKeyDelayMs = 40;

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

} // namespace lorvent
