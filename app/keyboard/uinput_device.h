#pragma once

#include "keyboard_uinput.h"

struct libevdev;

namespace lorvent {

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
