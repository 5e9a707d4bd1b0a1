#include "engine_fixture.h"
#include "support/hex.h"

#include <functional>

namespace lorvent {
namespace {

using testing::EngineFixture;
using testing::Hex;
using testing::ToHex;

// The frame a reader puts on the line for the given Packet bytes (CRC added
// unless it is a token).
std::vector<std::uint8_t> ReaderFrame(const std::vector<std::uint8_t>& bytes) {
    Packet packet;
    for (auto b : bytes)
        AppendByte(packet, b);
    if (!IsToken(bytes[0]))
        AppendCrc(packet);
    std::array<std::uint8_t, kFrameBufferSize> frame{};
    const int length = EncodeFrame(packet, frame);
    return {frame.begin(), frame.begin() + length};
}

std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class LinkTest : public EngineFixture {
protected:
    void SetUp() override {
        OpenAndForget();
        link = std::make_unique<TProtoSlave>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
    }
    void TearDown() override { link.reset(); }

    // Puts the link straight into the alive state with its handshake done.
    void MakeAlive() {
        link->addressPending = false;
        link->resetPending = false;
        link->linkState = kLinkAlive;
        link->pollInterval = kPollIntervalAlive;
    }
    std::vector<std::string> Inbound() {
        std::vector<std::string> messages;
        while (auto message = link->TakeInbound())
            messages.push_back(
                ToHex(message->bytes.get(), static_cast<std::size_t>(message->length)));
        return messages;
    }
    void Queue(const std::vector<std::uint8_t>& payload) {
        link->PutOutbound(
            std::make_unique<TProtoMessage>(payload.data(), static_cast<int>(payload.size())));
    }
    std::string LastWrite() { return device->writes.empty() ? "" : ToHex(device->writes.back()); }

    std::unique_ptr<TProtoSlave> link;
};

TEST_F(LinkTest, FreshLinkHasItsStartingValues) {
    TProtoSlave fresh(*protocol, &log);
    EXPECT_EQ(fresh.window, 1);
    EXPECT_EQ(fresh.wakeThreshold, 2);
    EXPECT_EQ(fresh.dieThreshold, 4);
    EXPECT_EQ(fresh.nextPollTime, 0);
    EXPECT_EQ(fresh.pollInterval, 200);
    EXPECT_FALSE(fresh.active);
    fresh.Turn();
    EXPECT_TRUE(device->writes.empty()); // not initialised: its turns do nothing

    EXPECT_TRUE(link->addressPending);
    EXPECT_TRUE(link->resetPending);
    EXPECT_EQ(link->linkState, kLinkNew);
    EXPECT_TRUE(link->active);
}

// One row of the control-code table: the state before, the frame judged (CRC
// already removed), and what the judgement must leave behind.
struct JudgeCase {
    const char* name;
    std::function<void(TProtoSlave&)> before;
    const char* frame;
    int result;
    std::vector<std::string> log;
    std::vector<std::string> delivered;
    std::function<void(TProtoSlave&)> check;
};

TProtoMessage* NewPayload() {
    static const std::uint8_t bytes[] = {0x03, 0x06, 0x00};
    return new TProtoMessage(bytes, 3);
}

void Outstanding(TProtoSlave& link, int count) {
    for (int i = 0; i < count; ++i)
        link.outstanding.emplace_back(NewPayload());
}

const JudgeCase kJudgeCases[] = {
    {"another address",
     nullptr,
     "02 00 83 00",
     -1,
     {"S1 Warn Reply from invalid slave 0x02"},
     {},
     nullptr},
    {"token confirms the address",
     [](auto& l) { l.addressPending = true; },
     "81",
     0,
     {"S1 Trce Address set to 01"},
     {},
     [](auto& l) { EXPECT_FALSE(l.addressPending); }},
    {"data while reset pending is dropped",
     [](auto& l) { l.resetPending = true; },
     "01 00 83 00 12 34 56 78",
     1,
     {"S1 Warn Data packet received when reset pending"},
     {},
     [](auto& l) { EXPECT_EQ(l.recvSeq, 0); }},
    {"next data Packet is delivered and owed an acknowledgement",
     [](auto& l) { l.recvSeq = 3; },
     "01 30 83 00 12 34 56 78",
     1,
     {},
     {"83 00 12 34 56 78"},
     [](auto& l) {
         EXPECT_EQ(l.recvSeq, 4);
         EXPECT_TRUE(l.ackPending);
     }},
    {"SEQ 7 wraps recvSeq to 0",
     [](auto& l) { l.recvSeq = 7; },
     "01 70 85",
     1,
     {},
     {"85"},
     [](auto& l) { EXPECT_EQ(l.recvSeq, 0); }},
    {"data with an empty payload",
     nullptr,
     "01 00",
     1,
     {},
     {""},
     [](auto& l) { EXPECT_EQ(l.recvSeq, 1); }},
    {"data carrying an ACK for the outstanding Packet",
     [](auto& l) {
         l.sendSeq = 7;
         Outstanding(l, 1);
     },
     "01 00 83",
     1,
     {},
     {"83"},
     [](auto& l) {
         EXPECT_EQ(l.sendSeq, 0);
         EXPECT_TRUE(l.outstanding.empty());
     }},
    {"data whose ACK claims more than outstanding is delivered but not a reply",
     nullptr,
     "01 02 83",
     -1,
     {"S1 Warn Slave is acking more than window"},
     {"83"},
     [](auto& l) {
         EXPECT_EQ(l.recvSeq, 1);
         EXPECT_EQ(l.sendSeq, 0);
     }},
    {"repeated SEQ is acknowledged again, not delivered",
     [](auto& l) { l.recvSeq = 0; },
     "01 70 83 00 12 34 56 78",
     -1,
     {"S1 Warn Repeated SEQ from slave"},
     {},
     [](auto& l) {
         EXPECT_TRUE(l.ackPending);
         EXPECT_EQ(l.recvSeq, 0);
     }},
    {"repeated SEQ still applies its ACK",
     [](auto& l) {
         l.recvSeq = 2;
         Outstanding(l, 1);
     },
     "01 11 83",
     -1,
     {"S1 Warn Repeated SEQ from slave"},
     {},
     [](auto& l) {
         EXPECT_EQ(l.sendSeq, 1);
         EXPECT_TRUE(l.outstanding.empty());
     }},
    {"out-of-order SEQ drops payload and ACK",
     [](auto& l) {
         l.recvSeq = 2;
         Outstanding(l, 1);
     },
     "01 51 83",
     -1,
     {"S1 Warn Unexpected SEQ from slave"},
     {},
     [](auto& l) {
         EXPECT_TRUE(l.ackPending);
         EXPECT_EQ(l.outstanding.size(), 1u);
         EXPECT_EQ(l.recvSeq, 2);
     }},
    {"reader requests a reset while the master's is pending",
     [](auto& l) {
         l.resetPending = true;
         l.sendSeq = 5;
         l.recvSeq = 6;
         l.ackPending = true;
     },
     "01 81",
     1,
     {"S1 Trce Slave requested sequence reset"},
     {},
     [](auto& l) {
         EXPECT_EQ(l.sendSeq, 0);
         EXPECT_EQ(l.recvSeq, 0);
         EXPECT_TRUE(l.resetAckPending);
         EXPECT_FALSE(l.resetPending);
         EXPECT_FALSE(l.ackPending);
     }},
    {"reader acknowledges the reset",
     [](auto& l) { l.resetPending = true; },
     "01 82",
     1,
     {"S1 Trce Slave acknowledged reset"},
     {},
     [](auto& l) { EXPECT_FALSE(l.resetPending); }},
    {"connectionless message delivered from its fourth byte",
     [](auto& l) { l.resetPending = true; },
     "01 83 07 83 00 12 34 56 78",
     1,
     {},
     {"83 00 12 34 56 78"},
     nullptr},
    {"acknowledge-only",
     [](auto& l) {
         l.sendSeq = 6;
         Outstanding(l, 1);
     },
     "01 C7",
     1,
     {},
     {},
     [](auto& l) { EXPECT_EQ(l.sendSeq, 7); }},
    {"acknowledge-only naming sendSeq acknowledges nothing",
     [](auto& l) {
         l.sendSeq = 4;
         Outstanding(l, 1);
     },
     "01 C4",
     1,
     {},
     {},
     [](auto& l) { EXPECT_EQ(l.outstanding.size(), 1u); }},
    {"invalid control", nullptr, "01 C8", -1, {"S1 Warn Invalid controll 0xc8"}, {}, nullptr},
    {"invalid control FF", nullptr, "01 FF", -1, {"S1 Warn Invalid controll 0xff"}, {}, nullptr},
    {"unknown control 80", nullptr, "01 80", -1, {"S1 Warn Unknown control 0x80"}, {}, nullptr},
    {"unknown control BF", nullptr, "01 BF", -1, {"S1 Warn Unknown control 0xbf"}, {}, nullptr},
    {"frame without a control byte",
     [](auto& l) { l.addressPending = true; },
     "01",
     -1,
     {"S1 Warn Packet too short (1 bytes)"},
     {},
     [](auto& l) { EXPECT_TRUE(l.addressPending); }},
    {"connectionless message without its sub-type byte",
     nullptr,
     "01 83",
     -1,
     {"S1 Warn Packet too short (2 bytes)"},
     {},
     nullptr},
};

TEST_F(LinkTest, JudgesEveryControlCode) {
    for (const auto& c : kJudgeCases) {
        SCOPED_TRACE(c.name);
        link = std::make_unique<TProtoSlave>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
        link->addressPending = false;
        link->resetPending = false;
        if (c.before)
            c.before(*link);
        log.Take();
        const auto frame = Hex(c.frame);
        EXPECT_EQ(link->Judge(frame.data(), static_cast<int>(frame.size())), c.result);
        EXPECT_EQ(log.Take(), c.log);
        EXPECT_EQ(Inbound(), c.delivered);
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
        link->sendSeq = c.sendSeq;
        link->outstanding.clear();
        Outstanding(*link, c.outstanding);
        EXPECT_EQ(link->Acknowledge(c.ack), c.result);
        EXPECT_EQ(link->sendSeq, c.sendSeqAfter);
        EXPECT_EQ(static_cast<int>(link->outstanding.size()), c.outstandingAfter);
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
        link = std::make_unique<TProtoSlave>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
        link->addressPending = false;
        link->linkState = c.start;
        link->pollInterval = c.start == kLinkAlive ? 20 : 200;
        for (const char* r = c.replies; *r; ++r) {
            if (*r == '1')
                device->Feed(Hex("C0 81"));
            link->pollNext = true;
            link->Turn();
        }
        EXPECT_EQ(link->linkState, c.state);
        EXPECT_EQ(link->replyCounter, c.counter);
        EXPECT_EQ(link->pollInterval, c.interval);
        EXPECT_EQ(Inbound(), c.markers);
    }
}

TEST_F(LinkTest, DyingRestartsTheHandshake) {
    MakeAlive();
    link->sendSeq = 3;
    link->recvSeq = 5;
    Outstanding(*link, 1);
    log.Take();
    for (int i = 0; i < 5; ++i) {
        link->pollNext = true;
        link->Turn();
    }
    EXPECT_EQ(log.Take(), (std::vector<std::string>{
                              "S1 Warn No reply from slave", "S1 Warn No reply from slave",
                              "S1 Warn No reply from slave", "S1 Warn No reply from slave",
                              "S1 Warn No reply from slave", "S1 Trce Slave dies"}));
    EXPECT_TRUE(link->addressPending);
    EXPECT_TRUE(link->resetPending);
    EXPECT_EQ(link->sendSeq, 0);
    EXPECT_EQ(link->recvSeq, 0);
    EXPECT_EQ(link->outstanding.size(), 1u); // left for the application to discard
    // While dead: the set-address Packet and polls only, nothing logged for silence.
    Queue({0x03, 0x06, 0x00});
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
    MakeAlive();
    auto frame = ReaderFrame(Hex("01 00 83 00 12 34 56 78"));
    frame[4] ^= 0x01; // a bit of the card number flips on the line
    device->Feed(frame);
    log.Take();
    link->Turn();
    EXPECT_EQ(log.Take(), (std::vector<std::string>{"S1 Warn Packet with invalid CRC",
                                                    "S1 Warn No reply from slave"}));
    EXPECT_TRUE(Inbound().empty());
    EXPECT_EQ(link->recvSeq, 0);
    EXPECT_FALSE(link->ackPending);
}

TEST_F(LinkTest, AtMostNineFramesOfOneReplyAreJudged) {
    MakeAlive();
    // Ten connectionless messages and then the token.
    std::vector<std::uint8_t> line;
    for (int i = 0; i < 10; ++i) {
        const auto frame = ReaderFrame({0x01, 0x83, 0x00, static_cast<std::uint8_t>(i)});
        line.insert(line.end(), frame.begin(), frame.end());
    }
    device->Feed(Concat({line, Hex("C0 81")}));
    link->Turn();
    const auto delivered = Inbound();
    ASSERT_EQ(delivered.size(), 9u);
    EXPECT_EQ(delivered.back(), "08");
    // The tenth was read from the line; only the token is left for the next poll.
    EXPECT_EQ(ToHex({device->incoming.begin(), device->incoming.end()}), "C0 81");
}

TEST_F(LinkTest, DeviceFailuresCountAgainstTheFrameBudget) {
    MakeAlive();
    for (int i = 1; i <= 20; ++i)
        device->FailAt("FT_Read", i, 4);
    link->Turn();
    EXPECT_EQ(device->CallCount("FT_Read"), 10);
    EXPECT_EQ(link->replyCounter, -1);
}

TEST_F(LinkTest, TurnOrderFromResetAcknowledgeToData) {
    MakeAlive();
    link->resetPending = true;
    link->resetAckPending = true;
    Queue({0x03, 0x06, 0x00});
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
    EXPECT_EQ(link->sendSeq, 1);
    EXPECT_TRUE(link->outstanding.empty());
}

TEST_F(LinkTest, OwedAcknowledgementGoesAloneOrRidesOnData) {
    MakeAlive();
    device->Feed(Concat({ReaderFrame(Hex("01 00 83 00 12 34 56 78")), Hex("C0 81")}));
    link->Turn(); // poll: card read
    EXPECT_TRUE(link->ackPending);
    link->Turn(); // nothing to send: acknowledge alone, then no poll flag
    EXPECT_EQ(LastWrite(), "C0 01 7D E1 1A 7D E1 C1"); // CRC byte C1 escaped too
    EXPECT_FALSE(link->pollNext);
    EXPECT_FALSE(link->ackPending);

    device->Feed(Concat({ReaderFrame(Hex("01 10 83 00 12 34 56 78")), Hex("C0 81")}));
    link->Turn(); // poll: second read
    Queue({0x03, 0x06, 0x00});
    link->Turn(); // data carries ACK 2
    EXPECT_EQ(device->writes.back()[2], 0x02);
    EXPECT_FALSE(link->ackPending);
}

TEST_F(LinkTest, PayloadTooLongForAPacketIsRefusedNotCut) {
    MakeAlive();
    Queue(std::vector<std::uint8_t>(kMaxPayload + 1, 0x11));
    Queue({0x03, 0x06, 0x00});
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
             MakeAlive();
             l.pollNext = false; // the poll after the first sending is not the point
             l.Turn();
         },
         1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        link = std::make_unique<TProtoSlave>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
        MakeAlive();
        Queue({0x03, 0x06, 0x00});
        link->Turn();
        ASSERT_EQ(link->outstanding.size(), 1u);
        c.afterSending(*link);
        Queue({0x02, 0xFF, 0x00, 0xFF});
        link->DiscardOutput();
        EXPECT_TRUE(link->outbound.empty());
        EXPECT_EQ(link->outstanding.size(), c.outstandingLeft);
    }
}

TEST_F(LinkTest, DiscardOutputEmptiesBothQueues) {
    Queue({1});
    Outstanding(*link, 2);
    link->DiscardOutput();
    EXPECT_TRUE(link->outbound.empty());
    EXPECT_TRUE(link->outstanding.empty());
    link->DiscardOutput(); // on empty queues: nothing
}

} // namespace
} // namespace lorvent
