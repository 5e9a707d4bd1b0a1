#include "protocol/frame_reader.h"
#include "support/frames.h"
#include "support/hex.h"
#include "support/scripted_byte_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace lorvent {
namespace {

using testing::Hex;
using testing::ScriptedByteReader;
using testing::ToHex;

struct ReadResult {
    int result;
    int length;
    std::string bytes;
};

ReadResult ReadOne(ScriptedByteReader& line) {
    FrameBuffer buffer{};
    int length = -99; // must stay untouched unless a frame completes
    const int result = ReadFrame(line, buffer, length);
    const std::string bytes =
        result > 0 ? ToHex(buffer.data(), static_cast<std::size_t>(result)) : std::string();
    return {result, length, bytes};
}

TEST(FrameReaderTest, SetsTheReadTimeoutBeforeEachFrame) {
    ScriptedByteReader line;
    line.Bytes(Hex("C0 81"));
    ReadOne(line);
    ReadOne(line);
    EXPECT_EQ(line.timeouts, (std::vector<int>{100, 100}));
}

// Each case: what the line carries, and what one ReadFrame makes of it.
struct LineCase {
    const char* name;
    std::function<void(ScriptedByteReader&)> script;
    int result;
    int length; // -99: not written
    const char* bytes;
};

const LineCase kLineCases[] = {
    {"token", [](auto& l) { l.Bytes(Hex("C0 81")); }, 1, 1, "81"},
    {"data frame", [](auto& l) { l.Bytes(Hex("C0 01 82 85 B1 C1")); }, 4, 4, "01 82 85 B1"},
    {"noise before the start flag, FF included",
     [](auto& l) { l.Bytes(Hex("FF 00 C1 7D FF 42 C0 01 82 85 B1 C1")); }, 4, 4, "01 82 85 B1"},
    {"noise without a start flag until a quiet line", [](auto& l) { l.Bytes(Hex("FF FF 01 02")); },
     0, -99, ""},
    {"empty frame reads as no frame and sets length 0", [](auto& l) { l.Bytes(Hex("C0 C1")); }, 0,
     0, ""},
    {"escaped token for address 0x40", [](auto& l) { l.Bytes(Hex("C0 7D E0")); }, 1, 1, "C0"},
    {"escaped token for address 0x41", [](auto& l) { l.Bytes(Hex("C0 7D E1")); }, 1, 1, "C1"},
    {"second escape only renews the first", [](auto& l) { l.Bytes(Hex("C0 01 7D 7D 41 C1")); }, 2,
     2, "01 61"},
    {"escape before the end flag is dropped", [](auto& l) { l.Bytes(Hex("C0 01 02 7D C1")); }, 2, 2,
     "01 02"},
    {"C0 inside a frame is an ordinary byte", [](auto& l) { l.Bytes(Hex("C0 01 C0 03 C1")); }, 3, 3,
     "01 C0 03"},
    {"escaped ack-only control", [](auto& l) { l.Bytes(Hex("C0 01 7D E0 93 D0 C1")); }, 4, 4,
     "01 C0 93 D0"},
    {"time-out before any byte", [](auto& l) { l.Timeout(); }, 0, -99, ""},
    {"time-out mid-frame drops the partial frame",
     [](auto& l) { l.Bytes(Hex("C0 01 82")).Timeout().Bytes(Hex("85 B1 C1")); }, 0, -99, ""},
    {"device failure while hunting", [](auto& l) { l.Bytes(Hex("FF")).Failure(); }, -1, -99, ""},
    {"device failure mid-frame", [](auto& l) { l.Bytes(Hex("C0 01 82")).Failure(); }, -1, -99, ""},
};

TEST(FrameReaderTest, LineCases) {
    for (const auto& c : kLineCases) {
        SCOPED_TRACE(c.name);
        ScriptedByteReader line;
        c.script(line);
        const ReadResult read = ReadOne(line);
        EXPECT_EQ(read.result, c.result);
        EXPECT_EQ(read.length, c.length);
        EXPECT_EQ(read.bytes, c.bytes);
    }
}

TEST(FrameReaderTest, FrameOfExactlyThirtySixBytesIsKept) {
    std::vector<std::uint8_t> line = {0xC0};
    for (int i = 0; i < kPacketCapacity; ++i)
        line.push_back(static_cast<std::uint8_t>(i));
    line.push_back(0xC1);
    ScriptedByteReader source;
    source.Bytes(line);
    EXPECT_EQ(ReadOne(source).result, kPacketCapacity);
}

TEST(FrameReaderTest, OversizeFrameIsDroppedWithoutWritingPastTheBuffer) {
    // 200 bytes, with a start flag inside: the reader must neither overrun its
    // 36-byte buffer nor take the tail of the long frame for a new one.
    std::vector<std::uint8_t> line = {0xC0};
    for (int i = 0; i < 200; ++i)
        line.push_back(i == 100 ? 0xC0 : 0x11);
    line.push_back(0xC1);
    const auto next = Hex("C0 01 82 85 B1 C1");
    line.insert(line.end(), next.begin(), next.end());

    ScriptedByteReader source;
    source.Bytes(line);
    struct Guarded {
        FrameBuffer buffer;
        std::array<std::uint8_t, 16> canary;
    } guarded{};
    guarded.canary.fill(0xEE);
    int length = -99;
    EXPECT_EQ(ReadFrame(source, guarded.buffer, length), 0);
    EXPECT_EQ(length, -99);
    for (auto byte : guarded.canary)
        ASSERT_EQ(byte, 0xEE);
    EXPECT_EQ(ReadOne(source).bytes, "01 82 85 B1");
}

// Random Packets rich in the flag and escape bytes, framed one after another
// and read back, with the line delivering them whole, in 1- and 10-byte chunks.
std::vector<Packet> RandomPackets(std::mt19937& random, int count) {
    const std::uint8_t favourites[] = {0x7D, 0xC0, 0xC1, 0x20, 0x5D, 0xE0, 0xE1};
    std::uniform_int_distribution<int> byte(0, 255), pick(0, 9), favourite(0, 6),
        payloadLength(0, kMaxPayload), kind(0, 5);
    auto nextByte = [&] {
        return static_cast<std::uint8_t>(pick(random) < 5 ? favourites[favourite(random)]
                                                          : byte(random));
    };
    std::vector<Packet> packets;
    for (int i = 0; i < count; ++i) {
        Packet packet;
        const int address = nextByte();
        switch (kind(random)) {
        case 0:
            BuildToken(packet, address);
            break;
        case 1:
            BuildAck(packet, address, nextByte());
            break;
        case 2:
            BuildResetRequest(packet, address);
            break;
        case 3:
            BuildSetAddress(packet, address, (std::uint32_t(nextByte()) << 24) | nextByte(),
                            nextByte());
            break;
        default: {
            std::vector<std::uint8_t> payload(static_cast<std::size_t>(payloadLength(random)));
            for (auto& b : payload)
                b = nextByte();
            BuildData(packet, address, nextByte(), nextByte(), payload.data(),
                      static_cast<int>(payload.size()));
        }
        }
        packets.push_back(packet);
    }
    return packets;
}

TEST(FrameReaderTest, RoundTripInChunksOfOneTenAndAll) {
    std::mt19937 random(20261208);
    const auto packets = RandomPackets(random, 2000);
    std::vector<std::uint8_t> line;
    for (const auto& packet : packets) {
        const auto frame = testing::Framed(packet);
        line.insert(line.end(), frame.begin(), frame.end());
    }
    for (std::size_t chunk : {std::size_t{1}, std::size_t{10}, line.size()}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        ScriptedByteReader source;
        source.Bytes(line, chunk);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            FrameBuffer buffer{};
            int length = -1;
            const int result = ReadFrame(source, buffer, length);
            ASSERT_EQ(result, packets[i].length) << "packet " << i;
            ASSERT_EQ(length, packets[i].length);
            ASSERT_TRUE(
                std::equal(buffer.begin(), buffer.begin() + result, packets[i].bytes.begin()))
                << "packet " << i;
            if (!IsToken(buffer[0])) {
                ASSERT_EQ(CheckReceivedFrame(buffer.data(), result), result - 2);
            }
        }
        EXPECT_TRUE(source.Exhausted());
    }
}

} // namespace
} // namespace lorvent
