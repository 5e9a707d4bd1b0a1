#include "card_reader_pixels.h"

#include <cmath>

namespace lorvent {

namespace {

constexpr std::uint32_t kTransparent = 0x00000000;
constexpr std::uint32_t kCardEdge = 0xFF1D3F7A;
constexpr std::uint32_t kCard = 0xFF3A78D8;
constexpr std::uint32_t kChip = 0xFFF2C14E;
constexpr std::uint32_t kWave = 0xFF2E9E4F;

bool InCard(int x, int y) {
    const bool inside = x >= 1 && x <= 11 && y >= 6 && y <= 13;
    const bool corner = (x == 1 || x == 11) && (y == 6 || y == 13);
    return inside && !corner;
}

bool OnCardEdge(int x, int y) {
    return x == 1 || x == 11 || y == 6 || y == 13;
}

// Two quarter circles round the card's upper right corner.
bool OnWave(int x, int y) {
    const double dx = x + 0.5 - 10.0;
    const double dy = 6.0 - (y + 0.5);
    if (dx < 0 || dy < 0)
        return false;
    const double distance = std::hypot(dx, dy);
    return std::abs(distance - 2.5) < 0.6 || std::abs(distance - 5.0) < 0.6;
}

std::uint32_t PixelAt(int x, int y) {
    if (InCard(x, y)) {
        if (OnCardEdge(x, y))
            return kCardEdge;
        const bool chip = x >= 2 && x <= 4 && y >= 8 && y <= 10;
        return chip ? kChip : kCard;
    }
    return OnWave(x, y) ? kWave : kTransparent;
}

} // namespace

std::array<std::uint32_t, kIconSize * kIconSize> CardReaderPixels() {
    std::array<std::uint32_t, kIconSize * kIconSize> pixels{};
    for (int y = 0; y < kIconSize; ++y)
        for (int x = 0; x < kIconSize; ++x)
            pixels[static_cast<std::size_t>(y * kIconSize + x)] = PixelAt(x, y);
    return pixels;
}

} // namespace lorvent
