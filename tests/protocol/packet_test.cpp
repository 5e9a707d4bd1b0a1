#include "protocol/packet.h"
#include "support/frames.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace lorvent {
namespace {

using testing::Hex;
using testing::ToHex;

std::string PacketHex(const Packet& packet) {
    return ToHex(packet.bytes.data(), static_cast<std::size_t>(packet.length));
}

std::string FrameHex(const Packet& packet) {
    return ToHex(testing::Framed(packet));
}

struct WorkedExample {
    const char* name;
    std::function<void(Packet&)> build;
    const char* packet;
    const char* frame;
};

const std::vector<std::uint8_t> kAckCommand = {0x03, 0x06, 0x00};
const std::vector<std::uint8_t> kReadSignal = {0x02, 0xFF, 0xFF, 0x00};

const WorkedExample kWorkedExamples[] = {
    {"token", [](Packet& p) { BuildToken(p, 1); }, "81", "C0 81"},
    {"reset request", [](Packet& p) { BuildResetRequest(p, 1); }, "01 81 1E 83",
     "C0 01 81 1E 83 C1"},
    {"reset acknowledge", [](Packet& p) { BuildResetAck(p, 1); }, "01 82 85 B1",
     "C0 01 82 85 B1 C1"},
    {"acknowledge only, ACK 0", [](Packet& p) { BuildAck(p, 1, 0); }, "01 C0 93 D0",
     "C0 01 7D E0 93 D0 C1"},
    {"data SEQ 0 ACK 0 acknowledge command",
     [](Packet& p) { BuildData(p, 1, 0, 0, kAckCommand.data(), 3); }, "01 00 03 06 00 87 7F",
     "C0 01 00 03 06 00 87 7F C1"},
    {"data SEQ 1 ACK 2 read signal",
     [](Packet& p) { BuildData(p, 1, 1, 2, kReadSignal.data(), 4); }, "01 12 02 FF FF 00 29 51",
     "C0 01 12 02 FF FF 00 29 51 C1"},
    {"set address FFFFFFFF to 1", [](Packet& p) { BuildSetAddress(p, -1, 0xFFFFFFFF, 1); },
     "7F 83 01 FF FF FF FF 01 D2 88", "C0 7F 83 01 FF FF FF FF 01 D2 88 C1"},
};

TEST(PacketTest, WorkedExamplesGiveTheirBytesAndFrames) {
    for (const auto& example : kWorkedExamples) {
        SCOPED_TRACE(example.name);
        Packet packet;
        packet.length = 5; // builders must start from a cleared Packet
        example.build(packet);
        EXPECT_EQ(PacketHex(packet), example.packet);
        EXPECT_EQ(FrameHex(packet), example.frame);
        if (!IsToken(packet.bytes[0])) {
            EXPECT_EQ(Crc16(kCrcPreset, packet.bytes.data(), packet.length), kCrcGoodResidue);
        }
    }
}

TEST(PacketTest, CrcCheckValueOverDigits) {
    const std::string digits = "123456789";
    const auto crc = Crc16(kCrcPreset, reinterpret_cast<const std::uint8_t*>(digits.data()),
                           static_cast<int>(digits.size()));
    EXPECT_EQ(static_cast<std::uint16_t>(~crc), 0x906E);
}

TEST(PacketTest, CrcTableIsConsistentWhenFirstBuiltFromTwoThreads) {
    // Both threads may be the first caller; each must see a complete table.
    const std::string digits = "123456789";
    std::uint16_t results[2] = {};
    auto run = [&](int slot) {
        results[slot] = Crc16(kCrcPreset, reinterpret_cast<const std::uint8_t*>(digits.data()), 9);
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(static_cast<std::uint16_t>(~results[0]), 0x906E);
}

TEST(PacketTest, AddressesAreMaskedToSevenBits) {
    struct Case {
        const char* name;
        std::function<void(Packet&)> build;
        std::uint8_t first;
    } cases[] = {
        {"token 0x40", [](Packet& p) { BuildToken(p, 0x40); }, 0xC0},
        {"token 0xC1", [](Packet& p) { BuildToken(p, 0xC1); }, 0xC1},
        {"reset 0x85", [](Packet& p) { BuildResetRequest(p, 0x85); }, 0x05},
        {"data 0xFF", [](Packet& p) { BuildData(p, 0xFF, 0, 0, nullptr, 0); }, 0x7F},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Packet packet;
        c.build(packet);
        EXPECT_EQ(packet.bytes[0], c.first);
    }
}

TEST(PacketTest, SequenceAndAcknowledgeUseTheirLowThreeBits) {
    Packet packet;
    BuildData(packet, 1, 9, 15, nullptr, 0); // 9 -> 1, 15 -> 7
    EXPECT_EQ(packet.bytes[1], 0x17);
    BuildAck(packet, 1, 9);
    EXPECT_EQ(packet.bytes[1], 0xC1);
}

TEST(PacketTest, SpecialBytesAreEscapedWhereverTheyStand) {
    struct Case {
        const char* name;
        std::function<void(Packet&)> build;
        const char* frame;
    } cases[] = {
        {"ack 1 control is C1", [](Packet& p) { BuildAck(p, 1, 1); }, "C0 01 7D E1"},
        {"token for 0x40", [](Packet& p) { BuildToken(p, 0x40); }, "C0 7D E0"},
        {"token for 0x41", [](Packet& p) { BuildToken(p, 0x41); }, "C0 7D E1"},
        {"payload 7D C0 C1",
         [](Packet& p) {
             const std::uint8_t payload[] = {0x7D, 0xC0, 0xC1};
             BuildData(p, 1, 0, 0, payload, 3);
         },
         "C0 01 00 7D 5D 7D E0 7D E1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Packet packet;
        c.build(packet);
        EXPECT_EQ(FrameHex(packet).rfind(c.frame, 0), 0u) << FrameHex(packet);
    }
}

TEST(PacketTest, CrcBytesThatNeedEscapingAreEscaped) {
    // Search the data Packets with one payload byte for CRC bytes that are flags.
    int escapedCrcBytes = 0;
    for (int value = 0; value < 256; ++value) {
        const auto byte = static_cast<std::uint8_t>(value);
        Packet packet;
        BuildData(packet, 2, 0, 0, &byte, 1);
        const std::uint8_t lo = packet.bytes[3], hi = packet.bytes[4];
        auto special = [](std::uint8_t b) { return b == 0x7D || b == 0xC0 || b == 0xC1; };
        if (!special(lo) && !special(hi))
            continue;
        ++escapedCrcBytes;
        const auto frame = testing::Framed(packet);
        // Only the flags at both ends may be bare C0/C1.
        for (std::size_t i = 1; i + 1 < frame.size(); ++i)
            EXPECT_FALSE(frame[i] == 0xC0 || frame[i] == 0xC1) << "payload " << value;
    }
    EXPECT_GT(escapedCrcBytes, 0);
}

TEST(PacketTest, PacketNeverGrowsPastItsCapacity) {
    Packet packet;
    for (int i = 0; i < kPacketCapacity; ++i)
        EXPECT_EQ(AppendByte(packet, 0x55), 1);
    EXPECT_EQ(AppendByte(packet, 0x55), 0);
    EXPECT_EQ(packet.length, kPacketCapacity);

    std::uint8_t payload[kMaxPayload + 1] = {};
    EXPECT_EQ(BuildData(packet, 1, 0, 0, payload, kMaxPayload), 1);
    EXPECT_EQ(packet.length, kPacketCapacity);
    EXPECT_EQ(BuildData(packet, 1, 0, 0, payload, kMaxPayload + 1), 0);
    EXPECT_EQ(packet.length, 0);
}

TEST(PacketTest, ReceivedFrameCheck) {
    struct Case {
        const char* name;
        const char* frame;
        int expected;
    } cases[] = {
        {"token passes whole", "81", 1},
        {"intact reset ack", "01 82 85 B1", 2},
        {"intact data", "01 12 02 FF FF 00 29 51", 6},
        {"one bit flipped", "01 12 02 FF FE 00 29 51", -1},
        {"crc bytes swapped", "01 82 B1 85", -1},
        {"too short for a crc", "01 82", -1},
        {"empty", "", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bytes = Hex(c.frame);
        EXPECT_EQ(CheckReceivedFrame(bytes.data(), static_cast<int>(bytes.size())), c.expected);
    }
}

} // namespace
} // namespace lorvent
