#include "sim_test_util.h"

#include <gtest/gtest.h>

#include <chrono>

namespace lorvent::sim {
namespace {

using namespace testing;
using namespace std::chrono_literals;

TEST(ReaderFaultsTest, SilenceForPollsIsDeafAndMute) {
    TReaderSim reader = BroughtUpReader();
    reader.SilenceForPolls(2);
    EXPECT_EQ(Poll(reader), "");
    Exchange(reader, kDataAcknowledge); // unheard: an unplugged reader gets nothing
    EXPECT_EQ(Poll(reader), "");
    EXPECT_EQ(Poll(reader), kToken);
    EXPECT_TRUE(reader.Commands().empty());
    EXPECT_EQ(reader.Stats().pollsSilenced, 2);
}

TEST(ReaderFaultsTest, SilenceForATime) {
    TReaderSim reader = BroughtUpReader();
    const TimePoint t0 = TimePoint{} + 100s;
    reader.SilenceUntil(t0 + 2s);
    EXPECT_EQ(Poll(reader, t0), "");
    EXPECT_EQ(Poll(reader, t0 + 1999ms), "");
    EXPECT_EQ(Poll(reader, t0 + 2s), kToken);
}

TEST(ReaderFaultsTest, NoiseNeverFormsAFrame) {
    TReaderSim reader = BroughtUpReader();
    reader.InjectNoise(2000);
    const Bytes noise = reader.TakeOutput();
    ASSERT_EQ(noise.size(), 2000u);
    int ff = 0;
    for (std::uint8_t byte : noise) {
        ASSERT_NE(byte, kFlagStart);
        ff += byte == 0xFF;
    }
    EXPECT_GT(ff, 500);
    EXPECT_LT(ff, 2000) << "not only FF";

    // Noise then a reply: only the reply's frames are found on the line.
    reader.ReadCard(Hex("12 34 56 78"));
    reader.InjectNoise(50);
    const std::string line = Poll(reader);
    const auto frames = Frames(line);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(CrcIntact(frames[0].data(), frames[0].size()));
    EXPECT_EQ(line.substr(line.size() - Join({kCard12345678Seq0Ack0, kToken}).size()),
              Join({kCard12345678Seq0Ack0, kToken}));
}

TEST(ReaderFaultsTest, CorruptsTheCrcOfTheNextFrames) {
    TReaderSim reader = BroughtUpReader();
    reader.ReadCard(Hex("12 34 56 78"));
    reader.CorruptNextCrcs(1);
    auto frames = Frames(Poll(reader));
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_FALSE(CrcIntact(frames[0].data(), frames[0].size()));
    EXPECT_EQ(ToHex(frames[1]), "81") << "a token has no CRC to corrupt";
    EXPECT_EQ(Poll(reader), Join({kCard12345678Seq0Ack0, kToken})) << "sent again, intact";
    EXPECT_EQ(reader.Stats().crcsCorrupted, 1);
}

// Two readers get the same master traffic; one corrupts its output. The bytes
// that differ are exactly the ones it counts: one in each run of N.
TEST(ReaderFaultsTest, CorruptsOneByteInEachRunOfN) {
    TReaderSim clean, noisy;
    Bytes cleanLine, noisyLine;
    for (TReaderSim* reader : {&clean, &noisy}) {
        Bytes& line = reader == &clean ? cleanLine : noisyLine;
        BringUp(*reader);
        if (reader == &noisy)
            noisy.CorruptOneByteIn(50);
        for (int i = 0; i < 400; ++i) {
            reader->ReadCard({0x10, 0x20, 0x30, static_cast<std::uint8_t>(i)});
            reader->Receive(Hex(kPoll));
            reader->Receive(
                MasterFrame("01 " + ToHex({static_cast<std::uint8_t>(0xC0 | (i + 1) % 8)})));
            const Bytes out = reader->TakeOutput();
            line.insert(line.end(), out.begin(), out.end());
        }
    }
    ASSERT_EQ(cleanLine.size(), noisyLine.size());
    int differing = 0;
    for (std::size_t run = 0; run < cleanLine.size(); run += 50) {
        int differingInRun = 0;
        for (std::size_t i = run; i < std::min(run + 50, cleanLine.size()); ++i)
            differingInRun += cleanLine[i] != noisyLine[i];
        if (run + 50 <= cleanLine.size()) {
            EXPECT_EQ(differingInRun, 1) << "run from byte " << run;
        }
        differing += differingInRun;
    }
    EXPECT_EQ(differing, noisy.Stats().bytesCorrupted);
    EXPECT_EQ(clean.Stats().bytesCorrupted, 0);
}

TEST(ReaderFaultsTest, LostRepliesLeaveTheStateAsIfSent) {
    TReaderSim reader = BroughtUpReader();
    reader.ReadCard(Hex("12 34 56 78"));
    reader.LoseReplies(2);
    EXPECT_EQ(Poll(reader), "");
    EXPECT_EQ(Poll(reader), "");
    EXPECT_EQ(Poll(reader), Join({kCard12345678Seq0Ack0, kToken}));
    EXPECT_EQ(reader.CardReads()[0].transmissions, 3);
    EXPECT_EQ(reader.Stats().repliesLost, 2);
}

TEST(ReaderFaultsTest, LostAcknowledgementIsOwedAgainOnTheMastersRepeat) {
    TReaderSim reader = BroughtUpReader();
    Exchange(reader, kDataAcknowledge);
    reader.LoseReplies(1);
    EXPECT_EQ(Poll(reader), "");
    Exchange(reader, kDataAcknowledge); // the master repeats: not delivered twice
    EXPECT_EQ(Poll(reader), Join({kAckOnly1, kToken}));
    EXPECT_EQ(reader.Commands().size(), 1u);
}

TEST(ReaderFaultsTest, RepeatSendsEachFrameTwiceButTheToken) {
    TReaderSim reader = BroughtUpReader();
    reader.ReadCard(Hex("12 34 56 78"));
    reader.RepeatReplies(1);
    EXPECT_EQ(Poll(reader), Join({kCard12345678Seq0Ack0, kCard12345678Seq0Ack0, kToken}));
    EXPECT_EQ(Poll(reader), Join({kCard12345678Seq0Ack0, kToken}));
    EXPECT_EQ(reader.CardReads()[0].transmissions, 3) << "a repeated frame went on the wire too";
}

TEST(ReaderFaultsTest, ReplyFromAWrongAddress) {
    TReaderSim reader;
    Exchange(reader, kSetAddress1);
    Exchange(reader, kResetRequest);
    reader.ReplyFromWrongAddress();
    EXPECT_EQ(Poll(reader), "C0 02 82 ED 9B C1 C0 82") << "well-formed, from address 2";
    EXPECT_EQ(Poll(reader), kToken);

    reader.ReplyFromWrongAddress(0x41);
    EXPECT_EQ(Poll(reader), "C0 7D E1");
    EXPECT_EQ(reader.Stats().repliesFromWrongAddress, 2);
}

TEST(ReaderFaultsTest, OversizeFrameIsWellFormedButTooLong) {
    TReaderSim reader = BroughtUpReader();
    reader.SendOversizeFrame();
    const Bytes line = Hex(Poll(reader));

    // Unescape the first frame by hand: the decoder would rightly refuse it.
    Bytes packet;
    std::size_t at = 1;
    for (; line.at(at) != kFlagEnd; ++at)
        packet.push_back(line[at] == kFlagEscape ? line[++at] ^ kEscapeMask : line[at]);
    EXPECT_GT(packet.size(), kMaxPacket);
    EXPECT_TRUE(CrcIntact(packet.data(), packet.size()));
    EXPECT_EQ(ToHex({packet.begin(), packet.begin() + 2}), "01 83");
    EXPECT_EQ(ToHex({line.begin() + static_cast<std::ptrdiff_t>(at) + 1, line.end()}), kToken);
    EXPECT_EQ(Poll(reader), kToken) << "once only";
}

TEST(ReaderFaultsTest, ConnectionlessCardReadsAreSentOnce) {
    TReaderSim reader = BroughtUpReader();
    reader.ReadCardConnectionless(Hex("12 34 56 78"));
    reader.LoseReplies(1);
    EXPECT_EQ(Poll(reader), "");
    EXPECT_EQ(Poll(reader), kToken) << "nothing numbers it, so nothing repeats it";
    EXPECT_EQ(reader.CardReads()[0].transmissions, 1);
    EXPECT_FALSE(reader.CardReads()[0].acknowledged);
}

} // namespace
} // namespace lorvent::sim
