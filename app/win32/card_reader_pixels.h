#pragma once

// The program's picture, free of Windows: the window draws its icon from it,
// and a build-machine program writes it as the icon file of the resources.

#include <array>
#include <cstdint>

namespace lorvent {

inline constexpr int kIconSize = 16;

// The program's 16 x 16 picture (a card before a reader's waves) as
// premultiplied 0xAARRGGBB pixels, row by row from the top.
std::array<std::uint32_t, kIconSize * kIconSize> CardReaderPixels();

} // namespace lorvent
