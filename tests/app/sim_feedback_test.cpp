// The reader's feedback against the simulated reader: the engine runs its own
// thread over the in-process simulated device; the test thread plays the GUI
// thread, handling posted messages and firing BlickTimer when it decides to.
#include "frm_fixture.h"
#include "sim/sim_device.h"
#include "support/engine_setup.h"
#include "support/wait.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

namespace lorvent::testing {
namespace {

using namespace std::chrono_literals;
using sim::CommandName;
using sim::TReaderSim;
using sim::TSimDevice;
using Names = std::vector<std::string>;

class SimFeedbackTest : public FrmFixture {
protected:
    void SetUp() override {
        auto services = Services();
        services.makeProtocol = [this] {
            auto simulated = std::make_unique<TSimDevice>();
            reader = simulated.get();
            TProtocolSetup setup = EngineSetup(std::move(simulated), log);
            setup.guiThread = std::make_shared<FlagThreadWatch>();
            return std::make_unique<TProtocol>(std::move(setup));
        };
        frm = std::make_unique<TMainFrm>(services);
        ASSERT_TRUE(frm->InitFromCommandLine(arguments));
        ASSERT_TRUE(PumpUntil([&] { return view.statusLbl == "Ready"; })) << "reader never woke";
        ASSERT_TRUE(PumpUntil([&] { return Commands() == Names{"idle signal"}; }))
            << "the reader's return is answered with the idle signal";
    }
    void TearDown() override { frm.reset(); }

    // Plays the GUI thread until `done` holds; only a missing event fails it.
    template <typename Condition>
    bool PumpUntil(Condition done, std::chrono::seconds patience = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            PumpMessages();
            NoteTimerStart();
            if (autoTimer && view.blickTimer.enabled &&
                std::chrono::steady_clock::now() - timerStartedAt >= 1000ms)
                frm->BlickTimerTimer();
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    void NoteTimerStart() {
        if (view.blickTimer.starts != seenStarts) {
            seenStarts = view.blickTimer.starts;
            timerStartedAt = std::chrono::steady_clock::now();
        }
    }
    // Lets the bus run for a while without the GUI thread looking.
    void RunBusWithoutGui(std::chrono::milliseconds duration) {
        std::this_thread::sleep_for(duration);
    }
    // Waits with the GUI thread busy elsewhere: posted messages stay queued.
    template <typename Condition> bool WaitWithoutGui(Condition done) {
        return WaitUntil(done, 20s, 2ms);
    }
    std::uint8_t LinkState() { return frm->ReaderDevice()->LinkState(); }
    std::string Transcript() {
        std::string text;
        for (const auto& name : Commands())
            text += name + ", ";
        return text;
    }

    Names Commands() {
        Names names;
        for (const auto& command : reader->Locked([](TReaderSim& r) { return r.Commands(); }))
            names.push_back(CommandName(command.payload));
        return names;
    }
    Names CommandsAfter(std::size_t skip) {
        Names all = Commands();
        return Names(all.begin() + static_cast<long>(std::min(skip, all.size())), all.end());
    }
    void ReadCard(const sim::Bytes& number) {
        reader->Locked([&](TReaderSim& r) { r.ReadCard(number); });
    }
    bool AllReadsDelivered(std::size_t count) {
        const auto reads = reader->Locked([](TReaderSim& r) { return r.CardReads(); });
        if (reads.size() < count)
            return false;
        for (const auto& read : reads)
            if (!read.acknowledged)
                return false;
        return true;
    }
    sim::TimePoint CommandTime(std::size_t index) {
        return reader->Locked([&](TReaderSim& r) { return r.Commands().at(index).at; });
    }

    std::vector<std::string> arguments; // the command line of the start-up
    TSimDevice* reader = nullptr;
    bool autoTimer = false;
    int seenStarts = 0;
    std::chrono::steady_clock::time_point timerStartedAt;
};

TEST_F(SimFeedbackTest, ReadIsAcknowledgedSignalledAndIdleFollowsASecondLater) {
    autoTimer = true;
    ReadCard({0x12, 0x34, 0x56, 0x78});
    ASSERT_TRUE(PumpUntil([&] { return CommandsAfter(1).size() == 3; }));
    EXPECT_EQ(CommandsAfter(1), (Names{"acknowledge", "read signal", "idle signal"}));
    const auto period = CommandTime(3) - CommandTime(2);
    EXPECT_GE(period, 950ms) << "the idle signal follows the read signal after the period";
    EXPECT_EQ(view.grid.cells.at(1)[1], "12345678");
    EXPECT_EQ(frm->Indicator(), kIndicatorIdle);
}

TEST_F(SimFeedbackTest, TwoReadsBeforeTheAcknowledgeGoesOutGetOneAcknowledge) {
    ReadCard({0x01, 0x01, 0x01, 0x01});
    ReadCard({0x02, 0x02, 0x02, 0x02});
    // Both reads reach the reader object before the GUI thread looks at either.
    ASSERT_TRUE(WaitWithoutGui([&] { return AllReadsDelivered(2); }));
    ASSERT_TRUE(PumpUntil([&] { return view.grid.RowCount() == 3; }));
    ASSERT_TRUE(PumpUntil([&] { return CommandsAfter(1).size() == 2; }));
    frm->BlickTimerTimer();
    ASSERT_TRUE(PumpUntil([&] { return CommandsAfter(1).size() == 3; }));
    RunBusWithoutGui(300ms);
    EXPECT_EQ(CommandsAfter(1), (Names{"acknowledge", "read signal", "idle signal"}));
}

TEST_F(SimFeedbackTest, ReadDuringTheReadSignalDoesNotRestartTheTimer) {
    ReadCard({0x0a, 0x0b, 0x0c, 0x0d});
    ASSERT_TRUE(PumpUntil([&] { return CommandsAfter(1).size() == 2; }));
    ASSERT_TRUE(PumpUntil([&] { return view.blickTimer.enabled; }));

    ReadCard({0x0e, 0x0f, 0x10, 0x11});
    ASSERT_TRUE(PumpUntil([&] { return CommandsAfter(1).size() == 4; }));
    PumpUntil([&] { return false; }, 0s);
    EXPECT_EQ(CommandsAfter(1),
              (Names{"acknowledge", "read signal", "acknowledge", "read signal"}));
    EXPECT_EQ(view.blickTimer.starts, 1) << "the running timer was started again";

    frm->BlickTimerTimer(); // the first period ends
    ASSERT_TRUE(PumpUntil([&] { return CommandsAfter(1).size() == 5; }));
    EXPECT_EQ(CommandsAfter(5), Names{"idle signal"});
}

// The read reaches the window only once the reader has stopped answering:
// nothing goes out until it answers again; then the pending acknowledge and
// the idle signal, never the read signal.
TEST_F(SimFeedbackTest, ReadHandledWhileTheReaderIsSilentEndsWithTheIdleSignal) {
    ReadCard({0x55, 0x66, 0x77, 0x88});
    ASSERT_TRUE(WaitWithoutGui([&] { return AllReadsDelivered(1); }));
    reader->Locked([](TReaderSim& r) { r.SilenceUntil(sim::SimClock::now() + 3s); });
    ASSERT_TRUE(WaitWithoutGui([&] { return LinkState() == kLinkDead; }));

    ASSERT_TRUE(PumpUntil([&] { return view.statusLbl == "Nekomunikuje"; }));
    EXPECT_EQ(view.grid.RowCount(), 2) << "the read was handled";
    ASSERT_TRUE(PumpUntil([&] { return view.statusLbl == "Ready"; }));
    ASSERT_TRUE(PumpUntil([&] { return CommandsAfter(1).size() >= 2; })) << Transcript();
    RunBusWithoutGui(300ms);
    PumpUntil([&] { return false; }, 0s);
    EXPECT_EQ(CommandsAfter(1), (Names{"acknowledge", "idle signal"}));
}

TEST_F(SimFeedbackTest, ReaderReturningWhileTheReadSignalShowsGetsIdleAtOnce) {
    ReadCard({0x99, 0x98, 0x97, 0x96});
    ASSERT_TRUE(PumpUntil([&] { return CommandsAfter(1).size() == 2; }));
    ASSERT_TRUE(PumpUntil([&] { return view.blickTimer.enabled; }));

    reader->Locked([](TReaderSim& r) { r.SilenceUntil(sim::SimClock::now() + 1500ms); });
    ASSERT_TRUE(PumpUntil([&] { return view.statusLbl == "Nekomunikuje"; }));
    ASSERT_TRUE(PumpUntil([&] { return view.statusLbl == "Ready"; }));
    ASSERT_TRUE(PumpUntil([&] { return CommandsAfter(1).size() == 3; }));
    EXPECT_EQ(CommandsAfter(1), (Names{"acknowledge", "read signal", "idle signal"}));
    EXPECT_TRUE(view.blickTimer.enabled) << "the idle signal did not wait for the timer";

    frm->BlickTimerTimer(); // finds the idle state and only stops
    RunBusWithoutGui(300ms);
    PumpUntil([&] { return false; }, 0s);
    EXPECT_EQ(CommandsAfter(1).size(), 3u);
    EXPECT_FALSE(view.blickTimer.enabled);
}

// ---- Closing the window ----

// With the adapter pulled out the engine holds its lock through pass after
// pass of failing reads, until it gives the reader up for dead some seconds
// later. Closing the window waits for the pass under way only.
TEST_F(SimFeedbackTest, ClosingWhileTheAdapterIsGoneWaitsForOnePassOnly) {
    reader->Unplug();
    RunBusWithoutGui(300ms); // failing polls under way, the reader not yet given up
    const auto start = std::chrono::steady_clock::now();
    frm.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// A read that the link has delivered (and acknowledged to the reader) but the
// window has not handled yet when it closes: in keyboard mode it is shown and
// not typed, in attendance mode it reaches the data file with the others.
class SimShutDownTest : public SimFeedbackTest, public ::testing::WithParamInterface<bool> {
protected:
    SimShutDownTest() {
        if (Attendance())
            arguments = {"-net", "-db", DataFile().string()};
    }
    static bool Attendance() { return GetParam(); }
    std::filesystem::path DataFile() const { return temp.Path() / "att" / "kalvinor.db"; }
    std::string FileText() const {
        std::ifstream file(DataFile(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
};

TEST_P(SimShutDownTest, AReadDeliveredJustBeforeTheCloseIsHandled) {
    if (Attendance())
        CardRead({0x01, 0x02, 0x03, 0x04}); // an earlier read still waiting for its tick
    ReadCard({0x5a, 0x00, 0x00, 0x42});
    ASSERT_TRUE(WaitWithoutGui([&] { return AllReadsDelivered(1); }));
    const int rowsBefore = view.grid.RowCount();
    keyboard.journal.clear();
    frm.reset();

    ASSERT_EQ(view.grid.RowCount(), rowsBefore + 1) << "the read was not shown";
    EXPECT_EQ(view.grid.cells.back()[1], "5a000042");
    EXPECT_TRUE(keyboard.journal.empty()) << "a read was typed while the window closed";
    if (Attendance()) {
        EXPECT_TRUE(std::regex_match(FileText(), std::regex(R"(\d\d/\d\d/\d{4}-\d\d:\d\d 01020304\r\n)"
                                                            R"(\d\d/\d\d/\d{4}-\d\d:\d\d 5a000042\r\n)")))
            << FileText();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SimShutDownTest, ::testing::Values(false, true),
                         [](const auto& mode) { return mode.param ? "Attendance" : "Keyboard"; });

} // namespace
} // namespace lorvent::testing
