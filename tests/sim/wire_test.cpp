#include "sim/wire.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace lorvent::sim {
namespace {

using testing::Hex;
using testing::ToHex;

TEST(SimWireTest, CrcCheckValueAndResidue) {
    const std::string digits = "123456789";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(digits.data());
    EXPECT_EQ(CrcOf(bytes, digits.size()), 0x906E);

    Bytes packet(digits.begin(), digits.end());
    AppendCrc(packet);
    EXPECT_EQ(ToHex({packet.end() - 2, packet.end()}), "6E 90"); // low byte first
    EXPECT_TRUE(CrcIntact(packet.data(), packet.size()));
    packet[3] ^= 0x01;
    EXPECT_FALSE(CrcIntact(packet.data(), packet.size()));
}

// Packets from both ends of the bus, CRC appended by the reader's own code,
// and the frames that must go on the wire.
struct EncodeCase {
    const char* name;
    const char* beforeCrc; // empty for a token
    const char* token;
    const char* frame;
};

const EncodeCase kEncodeCases[] = {
    {"token", "", "81", "C0 81"},
    {"token for address 0x40 is escaped", "", "C0", "C0 7D E0"},
    {"token for address 0x41 is escaped", "", "C1", "C0 7D E1"},
    {"reset request", "01 81", "", "C0 01 81 1E 83 C1"},
    {"reset acknowledge", "01 82", "", "C0 01 82 85 B1 C1"},
    {"acknowledge only, ACK 0", "01 C0", "", "C0 01 7D E0 93 D0 C1"},
    {"acknowledge only, ACK 1: a CRC byte is escaped too", "01 C1", "", "C0 01 7D E1 1A 7D E1 C1"},
    {"data SEQ 0 ACK 0, acknowledge command", "01 00 03 06 00", "", "C0 01 00 03 06 00 87 7F C1"},
    {"data SEQ 1 ACK 2, read signal", "01 12 02 FF FF 00", "", "C0 01 12 02 FF FF 00 29 51 C1"},
    {"set address", "7F 83 01 FF FF FF FF 01", "", "C0 7F 83 01 FF FF FF FF 01 D2 88 C1"},
    {"escape byte in the payload", "01 00 7D", "", "C0 01 00 7D 5D 72 34 C1"},
};

TEST(SimWireTest, EncodesFrames) {
    for (const auto& c : kEncodeCases) {
        SCOPED_TRACE(c.name);
        Bytes packet = Hex(*c.token ? c.token : c.beforeCrc);
        if (!*c.token)
            AppendCrc(packet);
        EXPECT_EQ(ToHex(EncodeFrame(packet)), c.frame);
    }
}

// What the decoder makes of a stretch of line, one entry per result that is
// not None: "F:<bytes>" for a frame, "O" oversize, "T" cut short.
std::vector<std::string> Decode(const Bytes& line) {
    TFrameDecoder decoder;
    std::vector<std::string> seen;
    for (std::uint8_t byte : line) {
        switch (decoder.Feed(byte)) {
        case TFrameDecoder::TResult::Frame:
            seen.push_back("F:" + ToHex(decoder.FrameBytes()));
            break;
        case TFrameDecoder::TResult::Oversize:
            seen.push_back("O");
            break;
        case TFrameDecoder::TResult::Truncated:
            seen.push_back("T");
            break;
        case TFrameDecoder::TResult::None:
            break;
        }
    }
    return seen;
}

Bytes Repeat(std::uint8_t byte, std::size_t count) {
    return Bytes(count, byte);
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct DecodeCase {
    const char* name;
    Bytes line;
    std::vector<std::string> expected;
};

TEST(SimWireTest, DecodesTheLine) {
    const DecodeCase cases[] = {
        {"token, no end flag", Hex("C0 81"), {"F:81"}},
        {"token then frame", Hex("C0 81 C0 01 82 85 B1 C1"), {"F:81", "F:01 82 85 B1"}},
        {"noise before the start flag",
         Hex("FF 00 C1 7D FF 42 C0 01 82 85 B1 C1"),
         {"F:01 82 85 B1"}},
        {"empty frame is no frame", Hex("C0 C1"), {}},
        {"escaped token", Hex("C0 7D E1"), {"F:C1"}},
        {"second escape only renews the first", Hex("C0 01 7D 7D 41 C1"), {"F:01 61"}},
        {"escape before the end flag is dropped", Hex("C0 01 02 7D C1"), {"F:01 02"}},
        {"bare start flag inside a frame begins a new one",
         Hex("C0 01 02 C0 01 82 85 B1 C1"),
         {"T", "F:01 82 85 B1"}},
        {"bytes after an end flag wait for a start flag", Hex("C0 01 02 C1 03 04 C1"), {"F:01 02"}},
        {"36 bytes are a Packet",
         Join({Hex("C0"), Repeat(0x11, 36), Hex("C1")}),
         {"F:" + ToHex(Repeat(0x11, 36))}},
        {"37 bytes are dropped, the next frame is read",
         Join({Hex("C0"), Repeat(0x11, 37), Hex("C1 C0 81")}),
         {"O", "F:81"}},
        {"a very long frame does not run past the buffer",
         Join({Hex("C0"), Repeat(0x7D, 1), Repeat(0x22, 500), Hex("C1")}),
         {"O"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Decode(c.line), c.expected);
    }
}

TEST(SimWireTest, EveryPacketSurvivesEncodingAndDecoding) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> size(0, 32);
    for (int round = 0; round < 500; ++round) {
        Bytes packet = {static_cast<std::uint8_t>(byte(random) & 0x7F)};
        const int payload = size(random) + 1;
        for (int i = 0; i < payload; ++i)
            packet.push_back(static_cast<std::uint8_t>(byte(random)));
        AppendCrc(packet);
        const auto seen = Decode(EncodeFrame(packet));
        ASSERT_EQ(seen, std::vector<std::string>{"F:" + ToHex(packet)});
        ASSERT_TRUE(CrcIntact(packet.data(), packet.size()));
    }
}

} // namespace
} // namespace lorvent::sim
