#include "packet.h"

namespace lorvent {
namespace {

using CrcTable = std::array<std::uint16_t, 256>;

CrcTable MakeCrcTable() {
    CrcTable table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        unsigned r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1u) ? (r >> 1) ^ 0x8408u : r >> 1;
        table[i] = static_cast<std::uint16_t>(r);
    }
    return table;
}

// Built on the first CRC call; the static's guarded initialisation makes two
// threads that arrive first at the same time see one complete table.
const CrcTable& GetCrcTable() {
    static const CrcTable table = MakeCrcTable();
    return table;
}

std::uint8_t MaskAddress(int address) {
    return static_cast<std::uint8_t>(address & 0x7F);
}

void BuildHeader(Packet& packet, int address, std::uint8_t control) {
    Clear(packet);
    AppendByte(packet, MaskAddress(address));
    AppendByte(packet, control);
}

bool NeedsEscape(std::uint8_t byte) {
    return byte == kStartFlag || byte == kEndFlag || byte == kEscape;
}

} // namespace

int Clear(Packet& packet) {
    packet.length = 0;
    return 1;
}

int AppendByte(Packet& packet, std::uint8_t byte) {
    if (packet.length < 0 || packet.length >= kPacketCapacity)
        return 0;
    packet.bytes[static_cast<std::size_t>(packet.length++)] = byte;
    return 1;
}

int AppendLong(Packet& packet, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        AppendByte(packet, static_cast<std::uint8_t>(value >> shift));
    return 1;
}

int AppendCrc(Packet& packet) {
    std::uint16_t crc = Crc16(kCrcPreset, packet.bytes.data(), packet.length);
    crc = static_cast<std::uint16_t>(~crc);
    AppendByte(packet, static_cast<std::uint8_t>(crc & 0xFF));
    AppendByte(packet, static_cast<std::uint8_t>(crc >> 8));
    return 1;
}

int BuildToken(Packet& packet, int address) {
    Clear(packet);
    AppendByte(packet, static_cast<std::uint8_t>(MaskAddress(address) | kTokenFlag));
    return 1;
}

int BuildSetAddress(Packet& packet, int address, std::uint32_t identifier, int newAddress) {
    BuildHeader(packet, address, kConnectionless);
    AppendByte(packet, kSetAddressSubtype);
    AppendLong(packet, identifier);
    AppendByte(packet, static_cast<std::uint8_t>(newAddress & 0xFF));
    return AppendCrc(packet);
}

int BuildResetRequest(Packet& packet, int address) {
    BuildHeader(packet, address, kResetRequest);
    return AppendCrc(packet);
}

int BuildResetAck(Packet& packet, int address) {
    BuildHeader(packet, address, kResetAck);
    return AppendCrc(packet);
}

int BuildData(Packet& packet, int address, int sequence, int acknowledge,
              const std::uint8_t* payload, int count) {
    if (count < 0 || count > kMaxPayload) {
        Clear(packet);
        return 0;
    }
    const auto control = static_cast<std::uint8_t>(((sequence & 7) << 4) | (acknowledge & 7));
    BuildHeader(packet, address, control);
    for (int i = 0; i < count; ++i)
        AppendByte(packet, payload[i]);
    return AppendCrc(packet);
}

int BuildAck(Packet& packet, int address, int acknowledge) {
    BuildHeader(packet, address, static_cast<std::uint8_t>(kAckOnly | (acknowledge & 7)));
    return AppendCrc(packet);
}

std::uint16_t Crc16Byte(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>(GetCrcTable()[(crc ^ byte) & 0xFF] ^ (crc >> 8));
}

std::uint16_t Crc16(std::uint16_t crc, const std::uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i)
        crc = Crc16Byte(crc, bytes[i]);
    return crc;
}

int CheckReceivedFrame(const std::uint8_t* frame, int count) {
    if (count <= 0)
        return -1;
    if (IsToken(frame[0]))
        return count;
    if (count < 3 || Crc16(kCrcPreset, frame, count) != kCrcGoodResidue)
        return -1;
    return count - 2;
}

int EncodeFrame(const Packet& packet, std::array<std::uint8_t, kFrameBufferSize>& out) {
    int written = 0;
    out[static_cast<std::size_t>(written++)] = kStartFlag;
    const int length =
        packet.length < 0 ? 0 : (packet.length > kPacketCapacity ? kPacketCapacity : packet.length);
    for (int i = 0; i < length; ++i) {
        const std::uint8_t byte = packet.bytes[static_cast<std::size_t>(i)];
        if (NeedsEscape(byte)) {
            out[static_cast<std::size_t>(written++)] = kEscape;
            out[static_cast<std::size_t>(written++)] = static_cast<std::uint8_t>(byte ^ kEscapeXor);
        } else {
            out[static_cast<std::size_t>(written++)] = byte;
        }
    }
    if (length == 0 || !IsToken(packet.bytes[0]))
        out[static_cast<std::size_t>(written++)] = kEndFlag;
    return written;
}

} // namespace lorvent
