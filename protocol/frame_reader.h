#pragma once

#include "packet.h"

#include <array>
#include <cstdint>

namespace lorvent {

inline constexpr int kFrameReadTimeoutMs = 100;
inline constexpr int kWriteTimeoutMs = 100;

// The byte reader and time-out setter that the frame reader reads through.
// The protocol engine provides them over the bus device; tests script them.
class TByteReader {
public:
    virtual ~TByteReader() = default;
    // Sets the read time-out (writes always get kWriteTimeoutMs); false on failure.
    virtual bool SetReadTimeout(int milliseconds) = 0;
    // Returns the number of bytes read, 0 when nothing arrived within the read
    // time-out, or a negative value when the device failed (already logged).
    virtual int ReadBytes(std::uint8_t* buffer, int count) = 0;
};

using FrameBuffer = std::array<std::uint8_t, kPacketCapacity>;

// Reads one frame, one byte per device read. Returns the number of unescaped
// bytes stored in buffer (also stored in length), 0 for no frame (time-out,
// empty frame, or a frame too long for the buffer, which is read to its end
// flag and dropped), or a negative value when the device failed.
int ReadFrame(TByteReader& protocol, FrameBuffer& buffer, int& length);

} // namespace lorvent
