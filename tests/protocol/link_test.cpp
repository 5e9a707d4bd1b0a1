#include "engine_fixture.h"
#include "support/app_link.h"
#include "support/concatenated.h"
#include "support/hex.h"
#include "support/link_handshake.h"

#include <functional>

namespace lorvent {
namespace {

using testing::EngineFixture;
using testing::Hex;
using testing::ReaderFrame;
using testing::ToHex;

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    return testing::Concatenated(parts);
}

// Where a judgement or a run of turns starts, reached the way the link
// reaches it on the bus: by its own turns and judgements.
struct LinkStart {
    enum Stage { Fresh, AddressConfirmed, Handshaken } stage = Handshaken;
    int sent = 0;             // data Packets sent and acknowledged: sendSeq
    int received = 0;         // the reader's data Packets delivered: recvSeq
    bool ackOwed = false;     // the last of them not yet acknowledged
    bool outstanding = false; // a data Packet sent and not yet acknowledged
};

class LinkTest : public EngineFixture {
protected:
    void SetUp() override {
        OpenAndForget();
        link = std::make_unique<testing::AppLink>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
    }
    void TearDown() override { link.reset(); }

    // A new link brought to `start`; what that wrote, logged and delivered is
    // forgotten.
    void StartAt(const LinkStart& start) {
        link = std::make_unique<testing::AppLink>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
        if (start.stage == LinkStart::AddressConfirmed)
            Judge("81");
        if (start.stage == LinkStart::Handshaken) {
            ASSERT_TRUE(Handshake(*link, *device));
        }
        SendAcknowledged(start.sent);
        ReceiveData(start.received, start.ackOwed);
        if (start.outstanding)
            SendOutstanding();
        ASSERT_EQ(link->SendSeq(), start.sent % 8);
        ASSERT_EQ(link->RecvSeq(), start.received % 8);
        ASSERT_EQ(link->AckPending(), start.ackOwed);
        ASSERT_EQ(link->OutstandingCount(), start.outstanding ? 1u : 0u);
        Forget();
    }
    void Forget() {
        device->writes.clear();
        device->calls.clear();
        log.Take();
        link->Drain();
    }
    int Judge(const char* frame) {
        const auto bytes = Hex(frame);
        return link->Judge(bytes.data(), static_cast<int>(bytes.size()));
    }
    // Data Packets sent, each acknowledged by the reader at the next poll.
    void SendAcknowledged(int count) {
        for (int i = 0; i < count; ++i) {
            SendOutstanding();
            const auto ack = static_cast<std::uint8_t>(0xC0 | ((link->SendSeq() + 1) & 7));
            device->Feed(Concat({ReaderFrame({0x01, ack}), Hex("C0 81")}));
            link->Turn();
        }
    }
    // A data Packet sent, not yet acknowledged.
    void SendOutstanding() {
        link->Send({0x03, 0x06, 0x00});
        link->Turn();
    }
    // The reader's data Packets, delivered and acknowledged by the link's
    // next turn, except the last one when its acknowledgement is to be owed.
    void ReceiveData(int count, bool lastOwed) {
        for (int i = 0; i < count; ++i) {
            const auto control = static_cast<std::uint8_t>(link->RecvSeq() << 4 | link->SendSeq());
            const std::vector<std::uint8_t> frame = {0x01, control, 0x85};
            link->Judge(frame.data(), static_cast<int>(frame.size()));
            if (!lastOwed || i + 1 < count)
                link->Turn();
        }
    }
    // One poll of the link, answered with the reader's token or not; a
    // set-address Packet or a data Packet may go out before it.
    void PollOnce(bool answered) {
        bool polled = false;
        device->onWrite = [&](const std::vector<std::uint8_t>& frame) {
            if (frame != Hex("C0 81"))
                return;
            polled = true;
            if (answered)
                device->Feed(Hex("C0 81"));
        };
        for (int turn = 0; turn < 3 && !polled; ++turn)
            link->Turn();
        device->onWrite = nullptr;
    }
    std::string LastWrite() { return device->writes.empty() ? "" : ToHex(device->writes.back()); }

    std::unique_ptr<testing::AppLink> link;
};

TEST_F(LinkTest, FreshLinkHasItsStartingValues) {
    TProtoSlave fresh(*protocol, &log);
    EXPECT_EQ(fresh.Window(), 1);
    EXPECT_EQ(fresh.WakeThreshold(), 2);
    EXPECT_EQ(fresh.DieThreshold(), 4);
    EXPECT_EQ(fresh.NextPollTime(), 0);
    EXPECT_EQ(fresh.PollInterval(), 200);
    EXPECT_FALSE(fresh.Active());
    fresh.Turn();
    EXPECT_TRUE(device->writes.empty()); // not initialised: its turns do nothing

    EXPECT_TRUE(link->AddressPending());
    EXPECT_TRUE(link->ResetPending());
    EXPECT_EQ(link->LinkState(), kLinkNew);
    EXPECT_TRUE(link->Active());
}

// One row of the control-code table: where the link starts, the frame judged
// (CRC already removed), and what the judgement must leave behind.
struct JudgeCase {
    const char* name;
    LinkStart start;
    const char* frame;
    int result;
    std::vector<std::string> log;
    std::vector<std::string> delivered;
    std::function<void(TProtoSlave&)> check;
};

const JudgeCase kJudgeCases[] = {
    {"another address",
     {},
     "02 00 83 00",
     -1,
     {"S1 Warn Reply from invalid slave 0x02"},
     {},
     nullptr},
    {"token confirms the address",
     {.stage = LinkStart::Fresh},
     "81",
     0,
     {"S1 Trce Address set to 01"},
     {},
     [](auto& l) { EXPECT_FALSE(l.AddressPending()); }},
    {"data while reset pending is dropped",
     {.stage = LinkStart::AddressConfirmed},
     "01 00 83 00 12 34 56 78",
     1,
     {"S1 Warn Data packet received when reset pending"},
     {},
     [](auto& l) { EXPECT_EQ(l.RecvSeq(), 0); }},
    {"next data Packet is delivered and owed an acknowledgement",
     {.received = 3},
     "01 30 83 00 12 34 56 78",
     1,
     {},
     {"83 00 12 34 56 78"},
     [](auto& l) {
         EXPECT_EQ(l.RecvSeq(), 4);
         EXPECT_TRUE(l.AckPending());
     }},
    {"SEQ 7 wraps recvSeq to 0",
     {.received = 7},
     "01 70 85",
     1,
     {},
     {"85"},
     [](auto& l) { EXPECT_EQ(l.RecvSeq(), 0); }},
    {"data with an empty payload",
     {},
     "01 00",
     1,
     {},
     {""},
     [](auto& l) { EXPECT_EQ(l.RecvSeq(), 1); }},
    {"data carrying an ACK for the outstanding Packet",
     {.sent = 7, .outstanding = true},
     "01 00 83",
     1,
     {},
     {"83"},
     [](auto& l) {
         EXPECT_EQ(l.SendSeq(), 0);
         EXPECT_EQ(l.OutstandingCount(), 0u);
     }},
    {"data whose ACK claims more than outstanding is delivered but not a reply",
     {},
     "01 02 83",
     -1,
     {"S1 Warn Slave is acking more than window"},
     {"83"},
     [](auto& l) {
         EXPECT_EQ(l.RecvSeq(), 1);
         EXPECT_EQ(l.SendSeq(), 0);
     }},
    {"repeated SEQ is acknowledged again, not delivered",
     {},
     "01 70 83 00 12 34 56 78",
     -1,
     {"S1 Warn Repeated SEQ from slave"},
     {},
     [](auto& l) {
         EXPECT_TRUE(l.AckPending());
         EXPECT_EQ(l.RecvSeq(), 0);
     }},
    {"repeated SEQ still applies its ACK",
     {.received = 2, .outstanding = true},
     "01 11 83",
     -1,
     {"S1 Warn Repeated SEQ from slave"},
     {},
     [](auto& l) {
         EXPECT_EQ(l.SendSeq(), 1);
         EXPECT_EQ(l.OutstandingCount(), 0u);
     }},
    {"out-of-order SEQ drops payload and ACK",
     {.received = 2, .outstanding = true},
     "01 51 83",
     -1,
     {"S1 Warn Unexpected SEQ from slave"},
     {},
     [](auto& l) {
         EXPECT_TRUE(l.AckPending());
         EXPECT_EQ(l.OutstandingCount(), 1u);
         EXPECT_EQ(l.RecvSeq(), 2);
     }},
    // The master's own reset pending means its numbers are zero already: the
    // numbers and the owed acknowledgement are zeroed from a running link.
    {"reader requests a reset while numbers run and an acknowledgement is owed",
     {.sent = 5, .received = 6, .ackOwed = true},
     "01 81",
     1,
     {"S1 Trce Slave requested sequence reset"},
     {},
     [](auto& l) {
         EXPECT_EQ(l.SendSeq(), 0);
         EXPECT_EQ(l.RecvSeq(), 0);
         EXPECT_TRUE(l.ResetAckPending());
         EXPECT_FALSE(l.ResetPending());
         EXPECT_FALSE(l.AckPending());
     }},
    {"reader requests a reset while the master's is pending",
     {.stage = LinkStart::AddressConfirmed},
     "01 81",
     1,
     {"S1 Trce Slave requested sequence reset"},
     {},
     [](auto& l) {
         EXPECT_TRUE(l.ResetAckPending());
         EXPECT_FALSE(l.ResetPending());
     }},
    {"reader acknowledges the reset",
     {.stage = LinkStart::AddressConfirmed},
     "01 82",
     1,
     {"S1 Trce Slave acknowledged reset"},
     {},
     [](auto& l) { EXPECT_FALSE(l.ResetPending()); }},
    {"connectionless message delivered from its fourth byte",
     {.stage = LinkStart::AddressConfirmed},
     "01 83 07 83 00 12 34 56 78",
     1,
     {},
     {"83 00 12 34 56 78"},
     nullptr},
    {"acknowledge-only",
     {.sent = 6, .outstanding = true},
     "01 C7",
     1,
     {},
     {},
     [](auto& l) { EXPECT_EQ(l.SendSeq(), 7); }},
    {"acknowledge-only naming sendSeq acknowledges nothing",
     {.sent = 4, .outstanding = true},
     "01 C4",
     1,
     {},
     {},
     [](auto& l) { EXPECT_EQ(l.OutstandingCount(), 1u); }},
    {"invalid control", {}, "01 C8", -1, {"S1 Warn Invalid controll 0xc8"}, {}, nullptr},
    {"invalid control FF", {}, "01 FF", -1, {"S1 Warn Invalid controll 0xff"}, {}, nullptr},
    {"unknown control 80", {}, "01 80", -1, {"S1 Warn Unknown control 0x80"}, {}, nullptr},
    {"unknown control BF", {}, "01 BF", -1, {"S1 Warn Unknown control 0xbf"}, {}, nullptr},
    {"frame without a control byte",
     {.stage = LinkStart::Fresh},
     "01",
     -1,
     {"S1 Warn Packet too short (1 bytes)"},
     {},
     [](auto& l) { EXPECT_TRUE(l.AddressPending()); }},
    {"connectionless message without its sub-type byte",
     {},
     "01 83",
     -1,
     {"S1 Warn Packet too short (2 bytes)"},
     {},
     nullptr},
};

TEST_F(LinkTest, JudgesEveryControlCode) {
    for (const auto& c : kJudgeCases) {
        SCOPED_TRACE(c.name);
        StartAt(c.start);
        EXPECT_EQ(Judge(c.frame), c.result);
        EXPECT_EQ(log.Take(), c.log);
        EXPECT_EQ(link->Drain(), c.delivered);
        if (c.check)
            c.check(*link);
    }
}

TEST_F(LinkTest, AcknowledgeRemovesAcknowledgedPayloadsModuloEight) {
    struct Case {
        int sendSeq, outstanding, ack, result, sendSeqAfter, outstandingAfter;
    } cases[] = {
        {0, 0, 0, 1, 0, 0},  {6, 1, 7, 1, 7, 0},  {7, 1, 0, 1, 0, 0},
        {7, 1, 1, -1, 7, 1}, {3, 0, 4, -1, 3, 0}, {5, 1, 5, 1, 5, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "sendSeq " << c.sendSeq << " ack " << c.ack);
        StartAt({.sent = c.sendSeq, .outstanding = c.outstanding == 1});
        EXPECT_EQ(link->Acknowledge(c.ack), c.result);
        EXPECT_EQ(link->SendSeq(), c.sendSeqAfter);
        EXPECT_EQ(static_cast<int>(link->OutstandingCount()), c.outstandingAfter);
    }
}

// The link's judgement over runs of polls with (1) and without (0) replies.
struct StateCase {
    const char* name;
    std::uint8_t start;
    const char* replies;
    std::uint8_t state;
    int counter;
    int interval;
    std::vector<std::string> markers;
};

const StateCase kStateCases[] = {
    {"new wakes on the third reply", kLinkNew, "111", kLinkAlive, 0, 20, {"A0"}},
    {"new: a silent poll after two replies sets 0", kLinkNew, "110", kLinkNew, 0, 200, {}},
    {"new: then five silent polls to die", kLinkNew, "11000000", kLinkDead, 0, 200, {"A1"}},
    {"new: a reply after silence sets 0", kLinkNew, "0001", kLinkNew, 0, 200, {}},
    {"new dies on the fifth silent poll", kLinkNew, "00000", kLinkDead, 0, 200, {"A1"}},
    {"new: four silent polls are not enough", kLinkNew, "0000", kLinkNew, -4, 200, {}},
    {"alive slows after the third miss", kLinkAlive, "000", kLinkAlive, -3, 100, {}},
    {"alive keeps 20 ms after two misses", kLinkAlive, "00", kLinkAlive, -2, 20, {}},
    {"alive: a reply restores 20 ms", kLinkAlive, "0001", kLinkAlive, 0, 20, {}},
    {"alive dies after five misses", kLinkAlive, "00000", kLinkDead, 0, 200, {"A1"}},
    {"dead wakes after three replies", kLinkDead, "111", kLinkAlive, 0, 20, {"A0"}},
    {"dead: a miss resets the run", kLinkDead, "11011", kLinkDead, 2, 200, {}},
};

TEST_F(LinkTest, LinkStateFollowsRepliesAndSilences) {
    for (const auto& c : kStateCases) {
        SCOPED_TRACE(c.name);
        StartAt({.stage = c.start == kLinkNew ? LinkStart::Fresh : LinkStart::Handshaken});
        for (int miss = 0; c.start == kLinkDead && miss < 5; ++miss)
            PollOnce(false);
        ASSERT_EQ(link->LinkState(), c.start);
        Forget();
        for (const char* r = c.replies; *r; ++r)
            PollOnce(*r == '1');
        EXPECT_EQ(link->LinkState(), c.state);
        EXPECT_EQ(link->ReplyCounter(), c.counter);
        EXPECT_EQ(link->PollInterval(), c.interval);
        EXPECT_EQ(link->Drain(), c.markers);
    }
}

TEST_F(LinkTest, DyingRestartsTheHandshake) {
    StartAt({.sent = 3, .received = 5, .outstanding = true});
    for (int i = 0; i < 5; ++i)
        PollOnce(false);
    EXPECT_EQ(log.Take(), (std::vector<std::string>{
                              "S1 Warn No reply from slave", "S1 Warn No reply from slave",
                              "S1 Warn No reply from slave", "S1 Warn No reply from slave",
                              "S1 Warn No reply from slave", "S1 Trce Slave dies"}));
    EXPECT_TRUE(link->AddressPending());
    EXPECT_TRUE(link->ResetPending());
    EXPECT_EQ(link->SendSeq(), 0);
    EXPECT_EQ(link->RecvSeq(), 0);
    EXPECT_EQ(link->OutstandingCount(), 1u); // left for the application to discard
    // While dead: the set-address Packet and polls only, nothing logged for silence.
    link->Send({0x03, 0x06, 0x00});
    device->writes.clear();
    for (int i = 0; i < 4; ++i)
        link->Turn();
    std::vector<std::string> writes;
    for (const auto& w : device->writes)
        writes.push_back(ToHex(w));
    EXPECT_EQ(writes, (std::vector<std::string>{"C0 7F 83 01 FF FF FF FF 01 D2 88 C1", "C0 81",
                                                "C0 7F 83 01 FF FF FF FF 01 D2 88 C1", "C0 81"}));
    EXPECT_TRUE(log.Take().empty());
}

TEST_F(LinkTest, FrameWithBadCrcIsDroppedAndIsNoReply) {
    StartAt({});
    auto frame = ReaderFrame(Hex("01 00 83 00 12 34 56 78"));
    frame[4] ^= 0x01; // a bit of the card number flips on the line
    device->Feed(frame);
    log.Take();
    link->Turn();
    EXPECT_EQ(log.Take(), (std::vector<std::string>{"S1 Warn Packet with invalid CRC",
                                                    "S1 Warn No reply from slave"}));
    EXPECT_TRUE(link->Drain().empty());
    EXPECT_EQ(link->RecvSeq(), 0);
    EXPECT_FALSE(link->AckPending());
}

TEST_F(LinkTest, AtMostNineFramesOfOneReplyAreJudged) {
    StartAt({});
    // Ten connectionless messages and then the token.
    std::vector<std::uint8_t> line;
    for (int i = 0; i < 10; ++i) {
        const auto frame = ReaderFrame({0x01, 0x83, 0x00, static_cast<std::uint8_t>(i)});
        line.insert(line.end(), frame.begin(), frame.end());
    }
    device->Feed(Concat({line, Hex("C0 81")}));
    link->Turn();
    const auto delivered = link->Drain();
    ASSERT_EQ(delivered.size(), 9u);
    EXPECT_EQ(delivered.back(), "08");
    // The tenth was read from the line; only the token is left for the next poll.
    EXPECT_EQ(ToHex({device->incoming.begin(), device->incoming.end()}), "C0 81");
}

TEST_F(LinkTest, DeviceFailuresCountAgainstTheFrameBudget) {
    StartAt({});
    for (int i = 1; i <= 20; ++i)
        device->FailAt("FT_Read", i, 4);
    link->Turn();
    EXPECT_EQ(device->CallCount("FT_Read"), 10);
    EXPECT_EQ(link->ReplyCounter(), -1);
}

// The reader asked for a reset, and before the master acknowledged it the link
// died: once awake again, both resets are due.
TEST_F(LinkTest, TurnOrderFromResetAcknowledgeToData) {
    StartAt({});
    Judge("01 81");
    link->Dies();
    ASSERT_TRUE(
        testing::AnswerTurnsUntil(*link, *device, [&] { return link->LinkState() == kLinkAlive; }));
    ASSERT_TRUE(link->ResetPending());
    ASSERT_TRUE(link->ResetAckPending());
    Forget();
    link->Send({0x03, 0x06, 0x00});
    std::vector<std::string> sent;
    auto turn = [&] {
        device->writes.clear();
        link->Turn();
        sent.push_back(LastWrite());
    };
    turn(); // reset acknowledge first
    turn(); // poll
    turn(); // reset request (still pending)
    device->Feed(ReaderFrame(Hex("01 82")));
    device->Feed(Hex("C0 81"));
    turn(); // poll: the reader acknowledges the reset
    turn(); // data SEQ 0
    turn(); // poll: no ACK yet
    turn(); // the same data again
    device->Feed(ReaderFrame(Hex("01 C1")));
    turn(); // poll: ACK 1
    turn(); // nothing to send, nothing owed: poll
    EXPECT_EQ(sent, (std::vector<std::string>{"C0 01 82 85 B1 C1", "C0 81", "C0 01 81 1E 83 C1",
                                              "C0 81", "C0 01 00 03 06 00 87 7F C1", "C0 81",
                                              "C0 01 00 03 06 00 87 7F C1", "C0 81", "C0 81"}));
    EXPECT_EQ(link->SendSeq(), 1);
    EXPECT_EQ(link->OutstandingCount(), 0u);
}

TEST_F(LinkTest, OwedAcknowledgementGoesAloneOrRidesOnData) {
    StartAt({});
    device->Feed(Concat({ReaderFrame(Hex("01 00 83 00 12 34 56 78")), Hex("C0 81")}));
    link->Turn(); // poll: card read
    EXPECT_TRUE(link->AckPending());
    link->Turn(); // nothing to send: acknowledge alone, then no poll flag
    EXPECT_EQ(LastWrite(), "C0 01 7D E1 1A 7D E1 C1"); // CRC byte C1 escaped too
    EXPECT_FALSE(link->PollNext());
    EXPECT_FALSE(link->AckPending());

    device->Feed(Concat({ReaderFrame(Hex("01 10 83 00 12 34 56 78")), Hex("C0 81")}));
    link->Turn(); // poll: second read
    link->Send({0x03, 0x06, 0x00});
    link->Turn(); // data carries ACK 2
    EXPECT_EQ(device->writes.back()[2], 0x02);
    EXPECT_FALSE(link->AckPending());
}

TEST_F(LinkTest, PayloadTooLongForAPacketIsRefusedNotCut) {
    StartAt({});
    link->Send(std::vector<std::uint8_t>(kMaxPayload + 1, 0x11));
    link->Send({0x03, 0x06, 0x00});
    log.Take();
    link->Turn();
    EXPECT_EQ(log.Take(),
              (std::vector<std::string>{"S1 Warn Outbound payload too long (33 bytes)"}));
    EXPECT_EQ(LastWrite(), "C0 01 00 03 06 00 87 7F C1");
}

// What went out before the numbers last started from zero is stale and goes;
// what went out since may be with the reader, and stays until acknowledged.
TEST_F(LinkTest, DiscardOutputKeepsOnlyWhatWentOutUnderThePresentNumbers) {
    const std::uint8_t resetRequest[] = {0x01, 0x81};
    struct TCase {
        const char* what;
        std::function<void(TProtoSlave&)> afterSending;
        std::size_t outstandingLeft;
    };
    const TCase cases[] = {
        {"sent, nothing since", [](TProtoSlave&) {}, 1},
        {"sent, then the link died", [](TProtoSlave& l) { l.Dies(); }, 0},
        {"sent, then the reader asked for a reset",
         [&](TProtoSlave& l) { l.Judge(resetRequest, 2); }, 0},
        {"sent again after dying and waking",
         [this](TProtoSlave& l) {
             l.Dies();
             ASSERT_TRUE(Handshake(l, *device));
             l.Turn();
         },
         1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        StartAt({});
        link->Send({0x03, 0x06, 0x00});
        link->Turn();
        ASSERT_EQ(link->OutstandingCount(), 1u);
        c.afterSending(*link);
        link->Send({0x02, 0xFF, 0x00, 0xFF});
        link->DiscardOutput();
        EXPECT_EQ(link->OutboundCount(), 0u);
        EXPECT_EQ(link->OutstandingCount(), c.outstandingLeft);
    }
}

// A payload that went out before the link died, and one queued since.
TEST_F(LinkTest, DiscardOutputEmptiesBothQueues) {
    StartAt({.outstanding = true});
    link->Dies();
    link->Send({1});
    link->DiscardOutput();
    EXPECT_EQ(link->OutboundCount(), 0u);
    EXPECT_EQ(link->OutstandingCount(), 0u);
    link->DiscardOutput(); // on empty queues: nothing
}

} // namespace
} // namespace lorvent
