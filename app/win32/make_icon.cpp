// Writes the program's picture as a Windows icon file with a 16 x 16 and a
// 32 x 32 image (the picture doubled), for lorvent.exe's resources. Runs on
// the build machine: make_icon OUTPUT.ico
#include "card_reader_pixels.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using lorvent::kIconSize;

void Put16(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

// One icon image: a bitmap header of twice the height (colour and mask), the
// BGRA rows bottom-up, then the mask rows (1 = transparent), each padded to
// 32 bits. The picture's pixels are opaque or clear, so premultiplied and
// straight alpha are the same.
std::vector<std::uint8_t> Image(int scale) {
    const auto pixels = lorvent::CardReaderPixels();
    const int side = kIconSize * scale;
    const auto pixelAt = [&](int x, int y) {
        return pixels[static_cast<std::size_t>((y / scale) * kIconSize + x / scale)];
    };
    const int maskRowBytes = (side + 31) / 32 * 4;
    std::vector<std::uint8_t> out;
    Put32(out, 40);
    Put32(out, static_cast<std::uint32_t>(side));
    Put32(out, static_cast<std::uint32_t>(side * 2));
    Put16(out, 1);
    Put16(out, 32);
    Put32(out, 0);
    Put32(out, static_cast<std::uint32_t>(side * side * 4 + maskRowBytes * side));
    for (int i = 0; i < 4; ++i)
        Put32(out, 0);
    for (int y = side - 1; y >= 0; --y)
        for (int x = 0; x < side; ++x)
            Put32(out, pixelAt(x, y)); // 0xAARRGGBB is B, G, R, A in memory
    for (int y = side - 1; y >= 0; --y) {
        std::vector<std::uint8_t> row(static_cast<std::size_t>(maskRowBytes), 0);
        for (int x = 0; x < side; ++x)
            if ((pixelAt(x, y) >> 24) == 0)
                row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icon OUTPUT.ico\n");
        return 2;
    }
    const std::vector<std::vector<std::uint8_t>> images = {Image(1), Image(2)};
    std::vector<std::uint8_t> file;
    Put16(file, 0);
    Put16(file, 1); // an icon
    Put16(file, static_cast<unsigned>(images.size()));
    std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int side = kIconSize * static_cast<int>(i + 1);
        file.push_back(static_cast<std::uint8_t>(side));
        file.push_back(static_cast<std::uint8_t>(side));
        file.push_back(0); // no palette
        file.push_back(0);
        Put16(file, 1);
        Put16(file, 32);
        Put32(file, static_cast<std::uint32_t>(images[i].size()));
        Put32(file, offset);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const auto& image : images)
        file.insert(file.end(), image.begin(), image.end());
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "make_icon: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
