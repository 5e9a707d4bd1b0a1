#include "icons.h"

#include <algorithm>

namespace lorvent {

// A 32-bit top-down colour bitmap carries the alpha; the mask is all zero, as
// Windows wants it for alpha icons.
HICON CardReaderIcon() {
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = kIconSize;
    header.bV5Height = -kIconSize;
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;

    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP colour = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                      DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (colour == nullptr)
        return nullptr;
    const auto pixels = CardReaderPixels();
    std::copy(pixels.begin(), pixels.end(), static_cast<std::uint32_t*>(bits));
    // One bit per pixel, rows padded to 16 bits.
    static const std::uint8_t kClearMask[kIconSize * 2] = {};
    HBITMAP mask = CreateBitmap(kIconSize, kIconSize, 1, 1, kClearMask);

    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmColor = colour;
    info.hbmMask = mask;
    HICON icon = CreateIconIndirect(&info);
    DeleteObject(mask);
    DeleteObject(colour);
    return icon;
}

} // namespace lorvent
