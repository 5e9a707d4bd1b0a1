#pragma once

#include "keyboard.h"
#include "xkb_layout.h"

#include <functional>
#include <memory>
#include <string>

namespace lorvent {

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
