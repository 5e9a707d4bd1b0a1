// The reader's feedback after card reads: acknowledge, read signal, and the
// idle signal once BlickTimer has run out, with the reader object and the
// window driven by hand.
#include "frm_fixture.h"
#include "support/link_handshake.h"

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

namespace lorvent::testing {
namespace {

using Commands = std::vector<std::vector<std::uint8_t>>;

class FeedbackTest : public FrmFixture {
protected:
    void SetUp() override { Start(); }
};

TEST_F(FeedbackTest, ReadGivesAcknowledgeReadSignalThenIdleWhenTheTimerRunsOut) {
    CardRead();
    EXPECT_EQ(DrainCommands(), (Commands{kAck, kReadSignal}));
    EXPECT_EQ(frm->Indicator(), kIndicatorReadShown);
    EXPECT_FALSE(view.blickTimer.enabled) << "started on the GUI thread, not by the reader object";

    PumpMessages();
    EXPECT_TRUE(view.blickTimer.enabled);
    EXPECT_EQ(view.blickTimer.interval, 1000);
    EXPECT_EQ(DrainCommands(), Commands{}) << "nothing while the read signal shows";

    frm->BlickTimerTimer();
    EXPECT_FALSE(view.blickTimer.enabled) << "one-shot";
    EXPECT_EQ(DrainCommands(), Commands{kIdleSignal});
    EXPECT_EQ(frm->Indicator(), kIndicatorIdle);
    EXPECT_EQ(DrainCommands(), Commands{});
}

TEST_F(FeedbackTest, TwoReadsBeforeTheAcknowledgeGoesOutGetOneAcknowledge) {
    CardRead();
    CardRead({0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(DrainCommands(), (Commands{kAck, kReadSignal}));
    EXPECT_EQ(view.grid.RowCount(), 3);
}

TEST_F(FeedbackTest, ReadWhileTheReadSignalShowsDoesNotRestartTheTimer) {
    CardRead();
    EXPECT_EQ(DrainCommands(), (Commands{kAck, kReadSignal}));
    PumpMessages();
    ASSERT_EQ(view.blickTimer.starts, 1);

    CardRead();
    EXPECT_EQ(DrainCommands(), (Commands{kAck, kReadSignal}));
    PumpMessages();
    EXPECT_EQ(view.blickTimer.starts, 1) << "the running timer is left alone";

    // The first period ends: the idle signal follows the first read signal.
    frm->BlickTimerTimer();
    EXPECT_EQ(DrainCommands(), Commands{kIdleSignal});
}

TEST_F(FeedbackTest, WakeMarkerWhileTheReadSignalShowsSendsIdleAtOnce) {
    CardRead();
    EXPECT_EQ(DrainCommands(), (Commands{kAck, kReadSignal}));
    PumpMessages();

    Deliver({0xA0});
    PumpMessages();
    EXPECT_EQ(view.statusLbl, "Ready");
    EXPECT_EQ(DrainCommands(), Commands{kIdleSignal});

    frm->BlickTimerTimer(); // finds the state idle and only stops
    EXPECT_FALSE(view.blickTimer.enabled);
    EXPECT_EQ(frm->Indicator(), kIndicatorIdle);
    EXPECT_EQ(DrainCommands(), Commands{});
}

// A read while the reader is silent: the read signal never goes out; once it
// answers again the pending acknowledge goes first, then the idle signal.
TEST_F(FeedbackTest, ReadWhileSilentEndsWithIdleWhenTheReaderWakes) {
    Deliver({0xA1});
    PumpMessages();
    EXPECT_EQ(view.statusLbl, "Nekomunikuje");
    CardRead();

    Deliver({0xA0});
    PumpMessages();
    EXPECT_EQ(DrainCommands(), (Commands{kAck, kIdleSignal}));
    EXPECT_EQ(view.statusHistory,
              (std::vector<std::string>{"Inicializace", "Nekomunikuje", "Ready"}));
}

// A command that went out before the reader went silent, and one queued
// while it was.
TEST_F(FeedbackTest, WakeMarkerDiscardsWhatWasQueuedForTheReader) {
    const std::uint8_t stale[] = {0x02, 0x55};
    TProtoSlaveDev& link = *frm->ReaderDevice();
    ASSERT_TRUE(Handshake(link, *device));
    link.PutOutbound(std::make_unique<TProtoMessage>(stale, 2));
    link.Turn();
    ASSERT_EQ(link.OutstandingCount(), 1u);
    link.Dies();
    link.PutOutbound(std::make_unique<TProtoMessage>(stale, 2));
    Deliver({0xA0});
    PumpMessages();
    EXPECT_EQ(link.OutstandingCount(), 0u);
    EXPECT_EQ(DrainCommands(), Commands{kIdleSignal});
}

TEST_F(FeedbackTest, TimerOutsideTheReadSignalOnlyStops) {
    // Each state reached as the reader's events reach it.
    const std::pair<TIndicatorState, std::function<void()>> states[] = {
        {kIndicatorIdle, [] {}},
        {kIndicatorReadDue, [&] { CardRead(); }},
        {kIndicatorIdleDue,
         [&] {
             Deliver({0xA0});
             PumpMessages();
         }},
    };
    for (const auto& [state, reach] : states) {
        reach();
        ASSERT_EQ(frm->Indicator(), state);
        view.blickTimer.Start(1000);
        frm->BlickTimerTimer();
        EXPECT_EQ(frm->Indicator(), state);
        EXPECT_FALSE(view.blickTimer.enabled);
    }
}

TEST_F(FeedbackTest, EveryRecordPostsOneMessageAndOneDrainTakesThemAllInOrder) {
    Deliver({0xA1});
    Deliver({0x85, 0x00, 'h', 'i'});
    Deliver({0xA0});
    const auto posted = poster.Take();
    EXPECT_EQ(posted, (std::vector<int>{WM_PROTOCOL, WM_PROTOCOL, WM_PROTOCOL}));
    frm->Dispatch(posted[0]);
    EXPECT_EQ(view.statusHistory,
              (std::vector<std::string>{"Inicializace", "Nekomunikuje", "Ready"}));
    frm->Dispatch(posted[1]); // finds nothing: harmless
    frm->Dispatch(posted[2]);
    EXPECT_EQ(view.statusHistory.size(), 3u);
    EXPECT_EQ(frm->ReaderDevice()->TakeInbound(), nullptr);
}

// Records the window has no use for, and card reads too short for their
// number, change nothing and are not read past their end.
TEST_F(FeedbackTest, IgnoredRecordsChangeNothing) {
    const std::vector<std::vector<std::uint8_t>> ignored = {
        {},                          // empty
        {0x85, 0x00, 'A', 'B'},      // text fragment
        {0x83},                      // card read without flags
        {0x83, 0x00, 1, 2, 3, 4, 5}, // not a valid read
        {0x83, 0x81, 1, 2, 3},       // four-byte number, three bytes
        {0x83, 0x01, 1, 2, 3, 4},    // five-byte number, four bytes
        {0x42, 0x01},                // unknown kind
    };
    for (const auto& record : ignored) {
        Deliver(record);
        PumpMessages();
    }
    EXPECT_EQ(view.grid.RowCount(), 1);
    EXPECT_FALSE(frm->AcknowledgementDue());
    EXPECT_EQ(frm->Indicator(), kIndicatorIdle);
    EXPECT_TRUE(keyboard.journal.empty());
    EXPECT_EQ(view.statusLbl, "Inicializace");
    EXPECT_EQ(DrainCommands(), Commands{});
}

// The protocol thread hands out commands while the GUI thread handles reads
// and timer ticks; no change is lost and the sequence always ends idle.
TEST_F(FeedbackTest, ConcurrentReadsAndCommandsSettleIdle) {
    std::atomic<bool> stop{false};
    std::atomic<int> acknowledges{0};
    std::thread protocolThread([&] {
        while (!stop) {
            auto command = frm->NextReaderCommand();
            if (command && Bytes(command) == kAck)
                ++acknowledges;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        Deliver({0x83, 0x01, 1, 2, 3, 4, 5});
        PumpMessages();
        if (i % 7 == 0)
            frm->BlickTimerTimer();
    }
    stop = true;
    protocolThread.join();

    std::vector<std::uint8_t> last;
    for (int round = 0; round < 3; ++round) {
        PumpMessages();
        frm->BlickTimerTimer();
        while (auto command = frm->NextReaderCommand()) {
            if (Bytes(command) == kAck)
                ++acknowledges;
            last = Bytes(command);
        }
    }
    EXPECT_EQ(last, kIdleSignal);
    EXPECT_EQ(frm->Indicator(), kIndicatorIdle);
    EXPECT_FALSE(frm->AcknowledgementDue());
    EXPECT_GE(acknowledges, 1);
    EXPECT_LE(acknowledges, 2000);
}

} // namespace
} // namespace lorvent::testing
