#include "frame_reader.h"

namespace lorvent {
namespace {

int ReadOneByte(TByteReader& protocol, std::uint8_t& byte) {
    const int result = protocol.ReadBytes(&byte, 1);
    return result > 0 ? 1 : result;
}

// Discards bytes up to and including the next start flag.
int HuntForStart(TByteReader& protocol) {
    std::uint8_t byte = 0;
    for (;;) {
        const int result = ReadOneByte(protocol, byte);
        if (result <= 0)
            return result;
        if (byte == kStartFlag)
            return 1;
    }
}

} // namespace

int ReadFrame(TByteReader& protocol, FrameBuffer& buffer, int& length) {
    protocol.SetReadTimeout(kFrameReadTimeoutMs);
    const int started = HuntForStart(protocol);
    if (started <= 0)
        return started;

    int stored = 0;
    bool escaped = false;
    bool overflowed = false;
    std::uint8_t byte = 0;
    for (;;) {
        const int result = ReadOneByte(protocol, byte);
        if (result <= 0)
            return result;
        if (byte == kEndFlag) {
            if (overflowed)
                return 0;
            length = stored;
            return stored;
        }
        if (byte == kEscape) {
            escaped = true;
            continue;
        }
        if (escaped) {
            byte = static_cast<std::uint8_t>(byte ^ kEscapeXor);
            escaped = false;
        }
        if (stored == kPacketCapacity) {
            // Too long for any Packet: read on to its end so its tail is not
            // taken for a frame of its own, then report no frame.
            overflowed = true;
            continue;
        }
        buffer[static_cast<std::size_t>(stored++)] = byte;
        if (stored == 1 && IsToken(byte)) {
            length = 1;
            return 1;
        }
    }
}

} // namespace lorvent
