#pragma once

#include <array>
#include <cstdint>

namespace lorvent {

inline constexpr int kPacketCapacity = 36; // address, control, 32 payload bytes, CRC
inline constexpr int kMaxPayload = 32;
inline constexpr int kFrameBufferSize = 256; // what one framed Packet is written from
inline constexpr std::uint8_t kStartFlag = 0xC0;
inline constexpr std::uint8_t kEndFlag = 0xC1;
inline constexpr std::uint8_t kEscape = 0x7D;
inline constexpr std::uint8_t kEscapeXor = 0x20;
inline constexpr std::uint8_t kBroadcastAddress = 0x7F;
inline constexpr std::uint8_t kTokenFlag = 0x80;
inline constexpr std::uint16_t kCrcPreset = 0xFFFF;
inline constexpr std::uint16_t kCrcGoodResidue = 0xF0B8;

// Control bytes other than data (0x00..0x7F) and acknowledge-only (0xC0..0xC7).
inline constexpr std::uint8_t kResetRequest = 0x81;
inline constexpr std::uint8_t kResetAck = 0x82;
inline constexpr std::uint8_t kConnectionless = 0x83;
inline constexpr std::uint8_t kAckOnly = 0xC0;
inline constexpr std::uint8_t kSetAddressSubtype = 0x01;

// The build buffer for one Packet before framing.
struct Packet {
    std::array<std::uint8_t, kPacketCapacity> bytes{};
    std::int32_t length = 0;
};

// Each returns 1. AppendByte on a full Packet stores nothing and returns 0:
// a Packet never grows past its 36 bytes.
int Clear(Packet& packet);
int AppendByte(Packet& packet, std::uint8_t byte);
int AppendLong(Packet& packet, std::uint32_t value);
int AppendCrc(Packet& packet);

int BuildToken(Packet& packet, int address);
int BuildSetAddress(Packet& packet, int address, std::uint32_t identifier, int newAddress);
int BuildResetRequest(Packet& packet, int address);
int BuildResetAck(Packet& packet, int address);
// Returns 0 and leaves the Packet empty when the payload is longer than 32 bytes.
int BuildData(Packet& packet, int address, int sequence, int acknowledge,
              const std::uint8_t* payload, int count);
int BuildAck(Packet& packet, int address, int acknowledge);

// CRC-16/X-25 register steps; every caller starts from kCrcPreset.
std::uint16_t Crc16Byte(std::uint16_t crc, std::uint8_t byte);
std::uint16_t Crc16(std::uint16_t crc, const std::uint8_t* bytes, int count);

inline bool IsToken(std::uint8_t firstByte) {
    return (firstByte & kTokenFlag) != 0;
}

// Checks one received frame. Returns how many of its bytes go on for judging:
// all of a token, or a frame without its two CRC bytes. Returns -1 when a
// non-token frame fails the CRC check or is too short to carry a CRC.
int CheckReceivedFrame(const std::uint8_t* frame, int count);

// Writes the frame of the Packet (start flag, escaped bytes, end flag unless a
// token) into out and returns its length. A frame is at most 74 bytes.
int EncodeFrame(const Packet& packet, std::array<std::uint8_t, kFrameBufferSize>& out);

} // namespace lorvent
