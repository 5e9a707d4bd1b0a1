#pragma once

#include "keyboard.h"

#include <memory>

namespace lorvent {

// Key strokes through the X server's XTEST extension, on $DISPLAY.
std::unique_ptr<TKeyboard> MakeXTestKeyboard();

} // namespace lorvent
