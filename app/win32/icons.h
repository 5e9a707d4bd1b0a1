#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

namespace lorvent {

inline constexpr int kIconSize = 16;

// The program's 16 x 16 picture (a card before a reader's waves) as
// premultiplied 0xAARRGGBB pixels, row by row from the top.
std::array<std::uint32_t, kIconSize * kIconSize> CardReaderPixels();

// The picture as an icon for the window and the tray; the caller destroys it.
HICON CardReaderIcon();

} // namespace lorvent
