#pragma once

// The reader's own view of the bus wire: CRC-16/X-25, byte stuffing, and a
// frame decoder that takes the master's bytes in whatever chunks they come.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lorvent::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kMaxPacket = 36; // address, control, 32 payload bytes, CRC
inline constexpr std::size_t kMaxPayload = 32;
inline constexpr std::uint8_t kFlagStart = 0xC0;
inline constexpr std::uint8_t kFlagEnd = 0xC1;
inline constexpr std::uint8_t kFlagEscape = 0x7D;
inline constexpr std::uint8_t kEscapeMask = 0x20;
inline constexpr std::uint8_t kTokenBit = 0x80;
inline constexpr std::uint8_t kBroadcast = 0x7F;
inline constexpr std::uint16_t kCrcInit = 0xFFFF;
inline constexpr std::uint16_t kCrcResidue = 0xF0B8;

// One byte at 9600 baud, 8N1: ten bit times.
inline constexpr auto kByteTime = std::chrono::microseconds(1042);

// Runs the CRC register (reflected polynomial 0x8408) over bytes.
std::uint16_t CrcUpdate(std::uint16_t crc, const std::uint8_t* bytes, std::size_t count);
// The value a sender appends: register preset 0xFFFF, complemented at the end.
std::uint16_t CrcOf(const std::uint8_t* bytes, std::size_t count);
// Appends the CRC of the bytes present, low byte first.
void AppendCrc(Bytes& packet);
// True when a received Packet (CRC included) leaves the register at the residue.
bool CrcIntact(const std::uint8_t* packet, std::size_t count);

// A token (first byte with bit 7 set) has no end flag; every other Packet has.
Bytes EncodeFrame(const Bytes& packet);

// Turns the byte stream into Packets. A start flag inside a frame begins a new
// frame (the sender escapes every flag byte, so a bare one means the earlier
// frame was cut short). Frames longer than a Packet are dropped whole.
class TFrameDecoder {
public:
    enum class TResult {
        None,      // byte taken, nothing complete
        Frame,     // Frame() holds a complete Packet
        Oversize,  // a frame longer than 36 bytes ended and was dropped
        Truncated, // a frame was cut short by a new start flag
    };

    TResult Feed(std::uint8_t byte);
    const std::uint8_t* Frame() const { return buffer_.data(); }
    std::size_t FrameSize() const { return size_; }
    Bytes FrameBytes() const { return Bytes(buffer_.begin(), buffer_.begin() + size_); }
    // Forgets any partial frame (the line was closed).
    void Reset();

private:
    TResult Store(std::uint8_t byte);
    TResult StartFrame();

    std::array<std::uint8_t, kMaxPacket> buffer_{};
    std::size_t size_ = 0;
    bool inFrame_ = false;
    bool escaped_ = false;
    bool overflow_ = false;
};

} // namespace lorvent::sim
