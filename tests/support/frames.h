#pragma once

#include "protocol/packet.h"

#include <array>
#include <cstdint>
#include <vector>

namespace lorvent::testing {

// A Packet as it goes on the line: flags around it, special bytes escaped.
inline std::vector<std::uint8_t> Framed(const Packet& packet) {
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    const int length = EncodeFrame(packet, frame);
    return {frame.begin(), frame.begin() + length};
}

// The frame a reader puts on the line for the given Packet bytes (CRC added
// unless it is a token).
inline std::vector<std::uint8_t> ReaderFrame(const std::vector<std::uint8_t>& bytes) {
    Packet packet;
    for (auto b : bytes)
        AppendByte(packet, b);
    if (!IsToken(bytes[0]))
        AppendCrc(packet);
    return Framed(packet);
}

} // namespace lorvent::testing
