// Encode, then read back: every Packet the builders make goes on the wire and
// comes back from the frame reader byte for byte, and passes the CRC check.
//
// Input: byte 0 picks the Packet kind (low 3 bits); byte 1 gives SEQ (bits
// 4-6) and ACK (bits 0-2); byte 2 the address (all 8 bits go to the builder,
// which masks them); bytes 3-6 a set-address identifier; the rest is the
// payload of a data Packet, of any length (more than 32 must be refused).

#include "fuzz/fuzz_check.h"
#include "protocol/frame_reader.h"
#include "protocol/packet.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace lorvent {
namespace {

// Serves one frame a byte at a time, then nothing.
class FrameSource : public TByteReader {
public:
    FrameSource(const std::uint8_t* bytes, int count) : bytes_(bytes), count_(count) {}
    bool SetReadTimeout(int) override { return true; }
    int ReadBytes(std::uint8_t* buffer, int count) override {
        FUZZ_CHECK(count >= 1);
        if (at_ == count_)
            return 0;
        buffer[0] = bytes_[at_++];
        return 1;
    }
    int Consumed() const { return at_; }

private:
    const std::uint8_t* bytes_;
    int count_;
    int at_ = 0;
};

constexpr std::size_t kPayloadAt = 7;

std::uint8_t At(const std::uint8_t* data, std::size_t size, std::size_t index) {
    return index < size ? data[index] : 0;
}

std::uint32_t Identifier(const std::uint8_t* data, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 3; i < 7; ++i)
        value = (value << 8) | At(data, size, i);
    return value;
}

bool NeedsEscape(std::uint8_t byte) {
    return byte == kStartFlag || byte == kEndFlag || byte == kEscape;
}

// Builds the chosen Packet; false when the builder must refuse it.
bool Build(Packet& packet, const std::uint8_t* data, std::size_t size) {
    const std::uint8_t kind = At(data, size, 0) & 7;
    const int address = At(data, size, 2);
    const int sequence = At(data, size, 1) >> 4;
    const int acknowledge = At(data, size, 1) & 7;
    switch (kind) {
    case 0:
        return BuildToken(packet, address) == 1;
    case 1:
        return BuildSetAddress(packet, -1, Identifier(data, size), address) == 1;
    case 2:
        return BuildResetRequest(packet, address) == 1;
    case 3:
        return BuildResetAck(packet, address) == 1;
    case 4:
        return BuildAck(packet, address, acknowledge) == 1;
    default: {
        const std::size_t payloadSize = size > kPayloadAt ? size - kPayloadAt : 0;
        const std::uint8_t* payload = size > kPayloadAt ? data + kPayloadAt : nullptr;
        const int built = BuildData(packet, address, sequence, acknowledge, payload,
                                    static_cast<int>(payloadSize));
        if (payloadSize > static_cast<std::size_t>(kMaxPayload)) {
            FUZZ_CHECK(built == 0);
            FUZZ_CHECK(packet.length == 0);
            return false;
        }
        FUZZ_CHECK(built == 1);
        FUZZ_CHECK(packet.length == static_cast<int>(payloadSize) + 4);
        FUZZ_CHECK(packet.bytes[0] == (address & 0x7F));
        FUZZ_CHECK(packet.bytes[1] == ((sequence & 7) << 4 | acknowledge));
        FUZZ_CHECK(payloadSize == 0 ||
                   std::memcmp(packet.bytes.data() + 2, payload, payloadSize) == 0);
        return true;
    }
    }
}

} // namespace
} // namespace lorvent

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lorvent;
    Packet packet;
    if (!Build(packet, data, size))
        return 0;
    FUZZ_CHECK(packet.length >= 1 && packet.length <= kPacketCapacity);
    const bool token = IsToken(packet.bytes[0]);
    FUZZ_CHECK(token == (packet.length == 1));

    std::array<std::uint8_t, kFrameBufferSize> wire{};
    const int written = EncodeFrame(packet, wire);
    int escapes = 0;
    for (int i = 0; i < packet.length; ++i)
        escapes += NeedsEscape(packet.bytes[static_cast<std::size_t>(i)]);
    FUZZ_CHECK(written == 1 + packet.length + escapes + (token ? 0 : 1));
    FUZZ_CHECK(written <= 2 + 2 * kPacketCapacity);
    FUZZ_CHECK(wire[0] == kStartFlag);
    for (int i = 1; i < written - (token ? 0 : 1); ++i)
        FUZZ_CHECK(wire[static_cast<std::size_t>(i)] != kStartFlag &&
                   wire[static_cast<std::size_t>(i)] != kEndFlag);

    FrameSource source(wire.data(), written);
    auto frame = std::make_unique<FrameBuffer>();
    int length = -1;
    const int read = ReadFrame(source, *frame, length);
    FUZZ_CHECK(read == packet.length);
    FUZZ_CHECK(length == packet.length);
    FUZZ_CHECK(source.Consumed() == written); // the whole frame, nothing more
    FUZZ_CHECK(std::memcmp(frame->data(), packet.bytes.data(),
                           static_cast<std::size_t>(packet.length)) == 0);
    FUZZ_CHECK(CheckReceivedFrame(frame->data(), read) == (token ? 1 : packet.length - 2));
    return 0;
}
