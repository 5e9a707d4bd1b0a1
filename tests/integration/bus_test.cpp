// The master's engine and link against the simulated reader, in one process:
// two independent implementations of the same wire rules checking each other.
#include "bus_fixture.h"

namespace lorvent {
namespace {

using testing::BusFixture;

const std::vector<std::uint8_t> kAcknowledgeCommand = {0x03, 0x06, 0x00};
const std::vector<std::uint8_t> kReadSignal = {0x02, 0xFF, 0xFF, 0x00};

using BusTest = BusFixture;

TEST_F(BusTest, TypicalStartFrameByFrame) {
    link->Send(kAcknowledgeCommand);
    struct Step {
        const char* sent;
        std::vector<std::string> logged;
        int interval;
    } steps[] = {
        {"C0 7F 83 01 FF FF FF FF 01 D2 88 C1", {}, 200},
        {"C0 81", {"S1 Trce Address set to 01", "S1 Mesg Reply from slave"}, 200},
        {"C0 81", {"S1 Mesg Reply from slave"}, 200},
        {"C0 81", {"S1 Mesg Reply from slave", "S1 Trce Slave wakes"}, 20},
        {"C0 01 81 1E 83 C1", {}, 20},
        {"C0 81", {"S1 Trce Slave acknowledged reset"}, 20},
        {"C0 01 00 03 06 00 87 7F C1", {}, 20},
        {"C0 81", {}, 20},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.sent);
        EXPECT_EQ(Turn(), std::vector<std::string>{step.sent});
        EXPECT_EQ(log.Take(), step.logged);
        EXPECT_EQ(link->PollInterval(), step.interval);
    }
    EXPECT_EQ(link->Drain(), std::vector<std::string>{"A0"});
    // The reader acknowledged the command with ACK 1.
    EXPECT_EQ(link->SendSeq(), 1);
    EXPECT_EQ(link->OutstandingCount(), 0u);
    const auto commands = Reader([](auto& r) { return r.Commands(); });
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].payload, kAcknowledgeCommand);
    EXPECT_EQ(Reader([](auto& r) { return r.Address(); }), 1);
}

TEST_F(BusTest, CardReadIsDeliveredOnceAndAcknowledged) {
    BringUp();
    Reader([](auto& r) { r.ReadCard({0x12, 0x34, 0x56, 0x78}); });
    EXPECT_EQ(InboundOver(10), std::vector<std::string>{"83 81 12 34 56 78"});
    const auto reads = Reader([](auto& r) { return r.CardReads(); });
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_TRUE(reads[0].acknowledged);
    EXPECT_EQ(reads[0].transmissions, 1);
}

TEST_F(BusTest, ConnectionlessCardReadIsDeliveredWithoutSequence) {
    BringUp();
    Reader([](auto& r) { r.ReadCardConnectionless({0x01, 0x02, 0x03, 0x04, 0x05}); });
    Turn();
    const auto inbound = link->Drain();
    ASSERT_EQ(inbound.size(), 1u);
    EXPECT_EQ(inbound[0].substr(0, 2), "83");
    EXPECT_EQ(link->RecvSeq(), 0);
}

TEST_F(BusTest, RepeatedDataPacketIsAcknowledgedAgainButNotDeliveredTwice) {
    BringUp();
    Reader([](auto& r) {
        r.ReadCard({0x12, 0x34, 0x56, 0x78});
        r.RepeatReplies(1);
    });
    EXPECT_EQ(InboundOver(10), std::vector<std::string>{"83 81 12 34 56 78"});
    const auto logged = log.Take();
    EXPECT_NE(std::find(logged.begin(), logged.end(), "S1 Warn Repeated SEQ from slave"),
              logged.end());
    EXPECT_TRUE(Reader([](auto& r) { return r.CardReads()[0].acknowledged; }));
}

TEST_F(BusTest, SequenceNumbersWrapBothWays) {
    BringUp();
    // Twenty reads and twenty commands: both directions wrap 7 -> 0 twice.
    std::vector<std::string> inbound;
    for (int i = 0; i < 20; ++i) {
        const auto n = static_cast<std::uint8_t>(i);
        Reader([n](auto& r) { r.ReadCard({0xAB, 0x00, 0x00, n}); });
        link->Send({0x02, 0xFF, 0x00, n});
        for (auto& m : InboundOver(6))
            inbound.push_back(m);
    }
    ASSERT_EQ(inbound.size(), 20u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(inbound[static_cast<std::size_t>(i)].substr(15),
                  testing::ToHex({std::uint8_t(i)}));
    const auto commands = Reader([](auto& r) { return r.Commands(); });
    ASSERT_EQ(commands.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(commands[static_cast<std::size_t>(i)].payload.back(), i);
        EXPECT_EQ(commands[static_cast<std::size_t>(i)].seq, i % 8);
    }
    EXPECT_TRUE(log.Take().empty()) << "no sequence trouble on a clean line";
}

TEST_F(BusTest, ReaderResetRequestWhileTheMastersIsPending) {
    Reader([](auto& r) { r.RequestReset(); });
    std::vector<std::string> sent;
    for (int turn = 0; turn < 8; ++turn)
        for (auto& w : Turn())
            sent.push_back(w);
    const auto logged = log.Take();
    EXPECT_NE(std::find(logged.begin(), logged.end(), "S1 Trce Slave requested sequence reset"),
              logged.end());
    // The master answers 0x82 and, its own reset cleared, sends no 0x81.
    EXPECT_NE(std::find(sent.begin(), sent.end(), "C0 01 82 85 B1 C1"), sent.end());
    EXPECT_EQ(std::find(sent.begin(), sent.end(), "C0 01 81 1E 83 C1"), sent.end());
    EXPECT_FALSE(link->ResetPending());
    EXPECT_FALSE(Reader([](auto& r) { return r.ResetRequestPending(); }));
}

TEST_F(BusTest, SilentReaderDiesAndWakesWithMarkersAndIntervals) {
    BringUp();
    Reader([](auto& r) { r.SilenceForPolls(5); });
    std::vector<int> intervals;
    for (int poll = 0; poll < 5; ++poll) {
        Turn();
        intervals.push_back(link->PollInterval());
    }
    EXPECT_EQ(intervals, (std::vector<int>{20, 20, 100, 100, 200}));
    EXPECT_EQ(link->Drain(), std::vector<std::string>{"A1"});
    EXPECT_EQ(link->LinkState(), kLinkDead);
    // Answering again: the address is given anew and three replies wake it.
    for (int turn = 0; turn < 12 && link->LinkState() != kLinkAlive; ++turn)
        Turn();
    EXPECT_EQ(link->LinkState(), kLinkAlive);
    EXPECT_EQ(link->Drain(), std::vector<std::string>{"A0"});
}

// The window discards what was queued for a reader that went silent when it
// handles the wake marker, which may come after the engine has already sent
// the old command again under the new numbers. The reader has it then: a
// discard that forgot it would leave the master's numbers one behind, and the
// reader would take the next command for a repeat and drop it.
TEST_F(BusTest, ALateDiscardAfterTheWakeLosesNoLaterCommand) {
    const std::vector<std::uint8_t> readSignal = {0x02, 0xFF, 0xFF, 0x00};
    const std::vector<std::uint8_t> idleSignal = {0x02, 0xFF, 0x00, 0xFF};
    BringUp();
    Reader([](auto& r) { r.SilenceForPolls(6); });
    link->Send(readSignal);
    for (int turn = 0; turn < 20 && link->LinkState() != kLinkDead; ++turn)
        Turn();
    ASSERT_EQ(link->LinkState(), kLinkDead);
    ASSERT_EQ(link->OutstandingCount(), 1u) << "the read signal was never acknowledged";

    // Awake again; the window is busy and has not seen the marker yet.
    bool resentAsZero = false;
    for (int turn = 0; turn < 30 && !resentAsZero; ++turn)
        for (const std::string& frame : Turn())
            resentAsZero = resentAsZero || frame.rfind("C0 01 00 02 FF FF 00", 0) == 0;
    ASSERT_TRUE(resentAsZero) << "the read signal was not sent again after the reset";
    ASSERT_EQ(link->LinkState(), kLinkAlive);

    link->DiscardOutput();
    link->Send(idleSignal);
    for (int turn = 0; turn < 8; ++turn)
        Turn();
    const auto commands = Reader([](auto& r) { return r.Commands(); });
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back().payload, sim::Bytes(idleSignal.begin(), idleSignal.end()))
        << "the command after the discard never reached the reader";
    EXPECT_EQ(link->OutstandingCount(), 0u);
    for (const std::string& entry : log.Lines())
        EXPECT_EQ(entry.find("acking more than window"), std::string::npos) << entry;
}

TEST_F(BusTest, WrongAddressAndOversizeRepliesAreRefused) {
    BringUp();
    Reader([](auto& r) {
        r.ReplyFromWrongAddress();
        r.ReadCard({0x12, 0x34, 0x56, 0x78});
    });
    Turn();
    EXPECT_TRUE(link->Drain().empty());
    EXPECT_EQ(log.Take().front(), "S1 Warn Reply from invalid slave 0x02");
    Reader([](auto& r) { r.SendOversizeFrame(); });
    std::vector<std::string> inbound;
    for (int turn = 0; turn < 10; ++turn)
        for (auto& m : link->Drain(), Turn(), link->Drain())
            inbound.push_back(m);
    // The oversize frame carries card eeeeeeee; only the real read gets through.
    EXPECT_EQ(inbound, std::vector<std::string>{"83 81 12 34 56 78"});
}

} // namespace
} // namespace lorvent
