#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>

namespace lorvent::sim {
namespace {

using namespace testing;
using namespace std::chrono_literals;

// One turn of the master and the reader's answer to it.
struct Step {
    Bytes master;
    std::string reply;
};

// A start as the master runs it: address, polls, reset handshake, two
// commands, each answered byte for byte.
std::vector<Step> TypicalStart() {
    return {
        {Hex(kSetAddress1), ""},
        {Hex(kPoll), kToken},
        {Hex(kPoll), kToken},
        {Hex(kResetRequest), ""},
        {Hex(kPoll), Join({kResetAck, kToken})},
        {Hex(kDataAcknowledge), ""},
        {Hex(kPoll), Join({kAckOnly1, kToken})},
        {MasterFrame("01 11 02 FF FF 00"), ""}, // SEQ 1 ACK 1: the reader has sent nothing
        {Hex(kPoll), Join({kAckOnly2, kToken})},
    };
}

TEST(ReaderSimTest, TypicalStartInChunksOfOneTenAndAll) {
    for (std::size_t chunk : {1, 10, 0}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        TReaderSim stepwise;
        std::string allReplies;
        Bytes wholeStream;
        for (const Step& step : TypicalStart()) {
            EXPECT_EQ(Exchange(stepwise, step.master, chunk), step.reply);
            allReplies = Join({allReplies, step.reply});
            wholeStream.insert(wholeStream.end(), step.master.begin(), step.master.end());
        }
        // The same stream cut anywhere, frames split across the cuts.
        TReaderSim streamed;
        EXPECT_EQ(Exchange(streamed, wholeStream, chunk), allReplies);

        ASSERT_EQ(stepwise.Commands().size(), 2u);
        EXPECT_EQ(CommandName(stepwise.Commands()[0].payload), "acknowledge");
        EXPECT_EQ(CommandName(stepwise.Commands()[1].payload), "read signal");
        EXPECT_EQ(stepwise.Address(), 1);
    }
}

struct AddressCase {
    const char* name;
    Bytes setAddress;
    int addressAfter;
    bool accepted;
};

TEST(ReaderSimTest, TakesItsAddressOnlyWhenMeant) {
    const AddressCase cases[] = {
        {"any reader", Hex(kSetAddress1), 1, true},
        {"our identifier", MasterFrame("7F 83 01 00 00 00 01 05"), 5, true},
        {"another reader's identifier", MasterFrame("7F 83 01 00 00 00 02 05"), kUnassigned, false},
        {"address 0 is no reader address", MasterFrame("7F 83 01 FF FF FF FF 00"), kUnassigned,
         false},
        {"the broadcast address is no reader address", MasterFrame("7F 83 01 FF FF FF FF 7F"),
         kUnassigned, false},
        {"too short", MasterFrame("7F 83 01 FF FF FF FF"), kUnassigned, false},
        {"bad CRC", Hex("C0 7F 83 01 FF FF FF FF 01 D2 89 C1"), kUnassigned, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TReaderSim reader; // identifier 00000001
        EXPECT_EQ(Exchange(reader, c.setAddress), "");
        EXPECT_EQ(reader.Address(), c.addressAfter);
        EXPECT_EQ(reader.Stats().setAddressAccepted, c.accepted ? 1 : 0);
    }
}

TEST(ReaderSimTest, AnswersOnlyPollsForItsAddress) {
    TReaderSim reader;
    EXPECT_EQ(Poll(reader), "") << "no address yet";
    Exchange(reader, MasterFrame("7F 83 01 FF FF FF FF 05"));
    EXPECT_EQ(Poll(reader), "") << "poll for address 1";
    EXPECT_EQ(Exchange(reader, "C0 85"), "C0 85");
    // Re-addressed: the old address is no longer ours.
    Exchange(reader, MasterFrame("7F 83 01 FF FF FF FF 41"));
    EXPECT_EQ(Exchange(reader, "C0 85"), "");
    EXPECT_EQ(Exchange(reader, "C0 7D E1"), "C0 7D E1") << "token for 0x41 is escaped both ways";
}

TEST(ReaderSimTest, CardReadsAsDataPacketsAndMessages) {
    struct CardCase {
        const char* name;
        std::function<void(TReaderSim&)> read;
        std::string reply;
    };
    const CardCase cases[] = {
        {"four bytes", [](TReaderSim& r) { r.ReadCard(Hex("12 34 56 78")); },
         Join({kCard12345678Seq0Ack0, kToken})},
        {"five bytes", [](TReaderSim& r) { r.ReadCard(Hex("01 2A FF 00 7B")); },
         Join({"C0 01 00 83 01 01 2A FF 00 7B 5C 85 C1", kToken})},
        {"connectionless", [](TReaderSim& r) { r.ReadCardConnectionless(Hex("12 34 56 78")); },
         Join({"C0 01 83 00 83 81 12 34 56 78 16 52 C1", kToken})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TReaderSim reader = BroughtUpReader();
        c.read(reader);
        EXPECT_EQ(Poll(reader), c.reply);
        EXPECT_EQ(reader.Stats().cardReadsMade, 1);
        EXPECT_EQ(reader.CardReads().at(0).transmissions, 1);
    }
}

TEST(ReaderSimTest, RepeatsAnUnacknowledgedCardReadUntilAcknowledged) {
    TReaderSim reader = BroughtUpReader();
    reader.ReadCard(Hex("12 34 56 78"));
    EXPECT_EQ(Poll(reader), Join({kCard12345678Seq0Ack0, kToken}));
    EXPECT_EQ(Poll(reader), Join({kCard12345678Seq0Ack0, kToken}));
    // A command from the master in between: the repeat carries the new ACK.
    Exchange(reader, kDataAcknowledge);
    EXPECT_EQ(Poll(reader), Join({kCard12345678Seq0Ack1, kToken}));
    EXPECT_FALSE(reader.CardReads()[0].acknowledged);

    Exchange(reader, MasterFrame("01 C1")); // ACK 1 covers SEQ 0
    EXPECT_EQ(Poll(reader), kToken);
    EXPECT_TRUE(reader.CardReads()[0].acknowledged);
    EXPECT_EQ(reader.CardReads()[0].transmissions, 3);
    EXPECT_EQ(reader.Stats().cardReadsAcknowledged, 1);
    EXPECT_EQ(reader.Stats().dataRetransmissions, 2);
}

TEST(ReaderSimTest, AnAckInTheMastersDataPacketAlsoCounts) {
    TReaderSim reader = BroughtUpReader();
    reader.ReadCard(Hex("12 34 56 78"));
    Poll(reader);
    Exchange(reader, MasterFrame("01 01 03 06 00")); // SEQ 0 ACK 1
    EXPECT_EQ(Poll(reader), Join({kAckOnly1, kToken}));
    EXPECT_TRUE(reader.CardReads()[0].acknowledged);
    EXPECT_EQ(reader.SendSeq(), 1);
}

TEST(ReaderSimTest, SequenceNumbersWrapFromSevenToZero) {
    TReaderSim reader = BroughtUpReader();
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("round " + std::to_string(i));
        reader.ReadCard({0xCA, 0xFE, 0x00, static_cast<std::uint8_t>(i)});
        const auto frames = Frames(Poll(reader));
        ASSERT_EQ(frames.size(), 2u);
        const int control = frames[0][1];
        EXPECT_EQ(control >> 4, i % 8) << "SEQ";
        EXPECT_EQ(control & 0x0F, i % 8) << "ACK";

        // The master acknowledges the card and sends a command of its own.
        Exchange(reader,
                 MasterFrame("01 " +
                             ToHex({static_cast<std::uint8_t>((i % 8) << 4 | (i + 1) % 8)}) +
                             " 03 06 00"));
    }
    EXPECT_EQ(reader.Stats().cardReadsAcknowledged, 10);
    EXPECT_EQ(reader.Stats().commandsDelivered, 10);
    EXPECT_EQ(reader.Stats().commandsRepeated, 0);
    EXPECT_EQ(reader.RecvSeq(), 2);
    EXPECT_EQ(reader.SendSeq(), 2);
}

struct SeqCase {
    const char* name;
    int commandsBefore; // sets the reader's expected SEQ
    int seq;
    int delivered, repeated, outOfOrder;
};

TEST(ReaderSimTest, JudgesTheMastersSequenceNumbers) {
    const SeqCase cases[] = {
        {"next", 0, 0, 1, 0, 0},
        {"repeat of the last", 3, 2, 3, 1, 0},
        {"repeat across the wrap", 8, 7, 8, 1, 0},
        {"ahead", 3, 5, 3, 0, 1},
        {"far behind", 3, 0, 3, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TReaderSim reader = BroughtUpReader();
        for (int i = 0; i < c.commandsBefore; ++i)
            Exchange(reader, MasterFrame("01 " + ToHex({static_cast<std::uint8_t>((i % 8) << 4)}) +
                                         " 02 FF 00 FF"));
        const int expected = c.commandsBefore % 8;
        Exchange(reader,
                 MasterFrame("01 " + ToHex({static_cast<std::uint8_t>(c.seq << 4)}) + " 03 06 00"));
        EXPECT_EQ(reader.Stats().commandsDelivered, c.delivered);
        EXPECT_EQ(reader.Stats().commandsRepeated, c.repeated);
        EXPECT_EQ(reader.Stats().commandsOutOfOrder, c.outOfOrder);
        EXPECT_EQ(static_cast<int>(reader.Commands().size()), c.delivered);
        // Whatever came, the master is told what the reader expects next.
        const int ack = c.delivered > c.commandsBefore ? (expected + 1) % 8 : expected;
        const auto frames = Frames(Poll(reader));
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0][1], 0xC0 | ack);
    }
}

TEST(ReaderSimTest, IgnoresAnAckCoveringMoreThanIsOutstanding) {
    TReaderSim reader = BroughtUpReader();
    Exchange(reader, MasterFrame("01 C3")); // nothing outstanding
    EXPECT_EQ(reader.Stats().badAcks, 1);
    EXPECT_EQ(reader.SendSeq(), 0);

    reader.ReadCard(Hex("12 34 56 78"));
    Poll(reader);
    Exchange(reader, MasterFrame("01 C2")); // one outstanding, two acknowledged
    EXPECT_EQ(reader.Stats().badAcks, 2);
    EXPECT_FALSE(reader.CardReads()[0].acknowledged);
    EXPECT_EQ(Poll(reader), Join({kCard12345678Seq0Ack0, kToken})) << "still outstanding";

    Exchange(reader, MasterFrame("01 C0")); // ACK equal to SEQ: nothing, and valid
    EXPECT_EQ(reader.Stats().badAcks, 2);
}

TEST(ReaderSimTest, MastersResetRenumbersTheCardReadInFlight) {
    TReaderSim reader = BroughtUpReader();
    reader.ReadCard(Hex("AA BB CC DD"));
    Poll(reader);
    Exchange(reader, MasterFrame("01 01 03 06 00")); // acknowledges SEQ 0, command SEQ 0
    reader.ReadCard(Hex("12 34 56 78"));
    const auto before = Frames(Poll(reader));
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0][1], 0x11) << "SEQ 1 ACK 1";

    // The master lost track (it died and woke again): the card read in flight
    // is not lost but sent again as SEQ 0, after the reset acknowledge.
    Exchange(reader, kResetRequest);
    EXPECT_EQ(Poll(reader), Join({kResetAck, kCard12345678Seq0Ack0, kToken}));
    EXPECT_EQ(reader.CardReads()[1].transmissions, 2);
    EXPECT_EQ(reader.Stats().resetRequestsReceived, 2);
}

TEST(ReaderSimTest, OwnResetRequestHoldsDataUntilAcknowledged) {
    TReaderSim reader = BroughtUpReader();
    Exchange(reader, kDataAcknowledge);
    reader.RequestReset();
    reader.ReadCard(Hex("12 34 56 78"));
    EXPECT_EQ(reader.RecvSeq(), 0);
    EXPECT_EQ(Poll(reader), Join({kReaderResetRequest, kToken}));
    EXPECT_EQ(Poll(reader), Join({kReaderResetRequest, kToken})) << "until the master answers";
    Exchange(reader, "C0 01 82 85 B1 C1");
    EXPECT_FALSE(reader.ResetRequestPending());
    EXPECT_EQ(Poll(reader), Join({kCard12345678Seq0Ack0, kToken}));
}

TEST(ReaderSimTest, MastersResetSettlesAPendingReaderReset) {
    TReaderSim reader = BroughtUpReader();
    reader.RequestReset();
    Exchange(reader, kResetRequest);
    EXPECT_FALSE(reader.ResetRequestPending());
    EXPECT_EQ(Poll(reader), Join({kResetAck, kToken}));
    EXPECT_EQ(Poll(reader), kToken);
}

TEST(ReaderSimTest, AnUnaskedResetAcknowledgeChangesNothing) {
    TReaderSim reader = BroughtUpReader();
    Exchange(reader, kDataAcknowledge);
    Exchange(reader, "C0 01 82 85 B1 C1");
    EXPECT_EQ(reader.RecvSeq(), 1);
    EXPECT_EQ(Poll(reader), Join({kAckOnly1, kToken}));
}

struct BadFrameCase {
    const char* name;
    Bytes frame;
    int TSimStats::*counter;
};

TEST(ReaderSimTest, DropsFramesItMustNotTrust) {
    Bytes corrupted = Hex(kDataAcknowledge);
    corrupted[4] ^= 0x10; // payload 03 16 00 under the old CRC
    Bytes oversize = {0xC0};
    for (int i = 0; i < 60; ++i)
        oversize.push_back(i == 0 ? 0x01 : 0x00);
    oversize.push_back(0xC1);
    const BadFrameCase cases[] = {
        {"bad CRC", corrupted, &TSimStats::crcErrors},
        {"shorter than a Packet", Hex("C0 01 00 C1"), &TSimStats::shortFrames},
        {"longer than a Packet", oversize, &TSimStats::oversizeFramesReceived},
        {"for another reader", MasterFrame("02 00 03 06 00"), &TSimStats::framesForOthers},
        {"unknown control", MasterFrame("01 90"), &TSimStats::unknownControls},
        {"invalid control", MasterFrame("01 C8"), &TSimStats::unknownControls},
        {"cut short by a start flag", Hex("C0 01 00 03 C0 81"), &TSimStats::truncatedFrames},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TReaderSim reader = BroughtUpReader();
        Exchange(reader, c.frame);
        EXPECT_EQ(reader.Stats().*c.counter, 1);
        EXPECT_TRUE(reader.Commands().empty());
        EXPECT_EQ(Poll(reader), kToken) << "nothing delivered, no acknowledgement owed";
    }
}

TEST(ReaderSimTest, RecordsCommandsWithTheirTimes) {
    TReaderSim reader = BroughtUpReader();
    const TimePoint t0 = TimePoint{} + 10s;
    Exchange(reader, kDataAcknowledge, t0);
    Exchange(reader, MasterFrame("01 10 02 FF FF 00"), t0 + 20ms);
    Exchange(reader, MasterFrame("01 10 02 FF FF 00"), t0 + 40ms); // repeat: not recorded
    Exchange(reader, MasterFrame("01 20 02 FF 00 FF"), t0 + 1020ms);
    Exchange(reader, MasterFrame("01 30 09 08"), t0 + 2s);

    const auto& commands = reader.Commands();
    ASSERT_EQ(commands.size(), 4u);
    const std::vector<std::string> names = {"acknowledge", "read signal", "idle signal", "data"};
    const std::vector<TimePoint> times = {t0, t0 + 20ms, t0 + 1020ms, t0 + 2s};
    for (std::size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(CommandName(commands[i].payload), names[i]);
        EXPECT_EQ(commands[i].at, times[i]);
        EXPECT_EQ(commands[i].seq, static_cast<int>(i));
    }
}

TEST(ReaderSimTest, SendsTextsAsNumberedFragments) {
    TReaderSim reader = BroughtUpReader();
    const std::string text(40, 'x');
    reader.QueueText(text);
    EXPECT_EQ(reader.QueuedPayloads(), 2u);
    auto frames = Frames(Poll(reader));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size(), 2 + 2 + 30 + 2u);
    EXPECT_EQ(ToHex({frames[0].begin() + 2, frames[0].begin() + 4}), "85 00");
    Exchange(reader, MasterFrame("01 C1"));
    frames = Frames(Poll(reader));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].size(), 2 + 2 + 10 + 2u);
    EXPECT_EQ(ToHex({frames[0].begin() + 1, frames[0].begin() + 4}), "10 85 01") << "SEQ 1 ACK 0";
}

TEST(ReaderSimTest, RejectsBadRequestsClearly) {
    TReaderSim reader;
    const std::vector<std::pair<const char*, std::function<void()>>> calls = {
        {"3-byte card", [&] { reader.ReadCard(Hex("01 02 03")); }},
        {"6-byte card", [&] { reader.ReadCardConnectionless(Hex("01 02 03 04 05 06")); }},
        {"empty payload", [&] { reader.QueueData({}); }},
        {"33-byte payload", [&] { reader.QueueData(Bytes(33, 1)); }},
        {"32-byte message", [&] { reader.QueueConnectionless(0, Bytes(32, 1)); }},
        {"negative silence", [&] { reader.SilenceForPolls(-1); }},
        {"negative noise", [&] { reader.InjectNoise(-5); }},
        {"address 200", [&] { reader.ReplyFromWrongAddress(200); }},
        {"reader at address 0", [] { TReaderSim bad(TReaderSimConfig{.address = 0}); }},
        {"reader at address 127", [] { TReaderSim bad(TReaderSimConfig{.address = 127}); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        EXPECT_THROW(call(), std::invalid_argument);
    }
    EXPECT_EQ(reader.QueuedPayloads(), 0u);
    EXPECT_EQ(reader.Stats().cardReadsMade, 0);
}

} // namespace
} // namespace lorvent::sim
