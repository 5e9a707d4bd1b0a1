// The script interpreter over a host that records what it is asked to do,
// stepped on a clock of the test's own: the timing that the runs over a
// pseudo-terminal and under Wine cannot pin down. Lines, waits, errors and the
// library's own command are exercised there, through both hosts.
#include "sim/script/interpreter.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <sstream>

namespace lorvent::sim::script {
namespace {

using namespace std::chrono_literals;
using lorvent::testing::Hex;
using Lines = std::vector<std::string>;

const TimePoint t0 = TimePoint{} + 1h;

class RecordingHost : public TScriptHost {
public:
    void WithReader(const std::function<void(TReaderSim&)>& action) override { action(reader); }
    void Unplug(TimePoint) override { journal.push_back("unplug"); }
    bool Replug(TimePoint) override {
        journal.push_back("replug");
        return replugWorks;
    }
    void SetPaced(bool on) override { journal.push_back(on ? "pace on" : "pace off"); }
    void ShowStatus(TimePoint) override { journal.push_back("status"); }
    void ShowHelp(TimePoint) override { journal.push_back("help"); }
    void Quit(TimePoint) override { journal.push_back("quit"); }
    void WriteLine(const std::string& line) override { report.push_back(line.substr(12)); }

    TReaderSim reader{TReaderSimConfig{1, 1}};
    Lines journal;
    Lines report; // without the time stamps
    bool replugWorks = true;
};

class ScriptInterpreterTest : public ::testing::Test {
protected:
    void Load(const std::string& script) {
        std::istringstream in(script);
        std::string error;
        ASSERT_TRUE(interpreter.Load(in, "script", error)) << error;
    }
    Lines Journal() { return std::exchange(host.journal, {}); }

    RecordingHost host;
    TScriptInterpreter interpreter{host, t0, 7};
};

TEST_F(ScriptInterpreterTest, EveryKeepsToItsPeriodWithoutABurstAfterAStallUntilQuit) {
    Load("every 100ms status");
    interpreter.Step(t0);
    EXPECT_EQ(interpreter.NextDue(t0), t0 + 100ms);
    // After a stall of 900 ms one run, not nine; it catches up one run a step
    // until it keeps to the period again.
    const std::pair<std::chrono::milliseconds, int> steps[] = {
        {99ms, 0},   {100ms, 1},  {1000ms, 1}, {1100ms, 1},
        {1150ms, 1}, {1200ms, 1}, {1250ms, 0}, {1300ms, 1}};
    for (const auto& [at, runs] : steps) {
        interpreter.Step(t0 + at);
        EXPECT_EQ(Journal().size(), static_cast<std::size_t>(runs)) << at.count() << " ms";
    }
    for (const char* line : {"quit", "help"})
        interpreter.Add("stdin", 1, line);
    interpreter.Step(t0 + 1350ms);
    interpreter.Step(t0 + 1500ms);
    EXPECT_EQ(Journal(), Lines{"quit"}) << "quit ends the repeats and the lines after it";
    EXPECT_FALSE(interpreter.HasLines());
}

TEST_F(ScriptInterpreterTest, TimedUnplugReplugsAndTriesAgainUntilItWorks) {
    Load("unplug 1s");
    interpreter.Step(t0);
    EXPECT_EQ(Journal(), Lines{"unplug"});
    EXPECT_EQ(host.report.back(), "!! unplugged for 1000 ms");
    EXPECT_EQ(interpreter.NextDue(t0), t0 + 1s);

    host.replugWorks = false;
    interpreter.Step(t0 + 1s);
    EXPECT_EQ(Journal(), Lines{"replug"});
    EXPECT_EQ(interpreter.NextDue(t0 + 1s), t0 + 2s) << "tried again a second later";
    host.replugWorks = true;
    interpreter.Step(t0 + 2s);
    EXPECT_EQ(Journal(), Lines{"replug"});
    EXPECT_EQ(interpreter.NextDue(t0 + 2s), TimePoint::max()) << "nothing left to do";

    interpreter.Add("stdin", 1, "unplug");
    interpreter.Step(t0 + 3s);
    EXPECT_EQ(host.report.back(), "!! unplugged until replug");
    EXPECT_EQ(interpreter.NextDue(t0 + 3s), TimePoint::max());
}

// The report keeps the order in which things happened: what the reader heard
// before a command comes before the command's line, and polls are counted,
// then told every five seconds.
TEST_F(ScriptInterpreterTest, ReportsEventsInOrderAndCountsPolls) {
    host.reader.Receive(Hex("C0 81"), t0);
    host.reader.Receive(Hex("C0 81"), t0 + 10ms);
    interpreter.Add("stdin", 1, "status");
    interpreter.Step(t0 + 20ms);
    EXPECT_EQ(interpreter.NextDue(t0 + 20ms), t0 + 5s) << "polls wait for their count";
    interpreter.Step(t0 + 5s);
    host.reader.Receive(Hex("C0 01 81 1E 83 C1"), t0 + 7s); // the master's reset request
    interpreter.Add("stdin", 2, "help");
    interpreter.Step(t0 + 8s);
    EXPECT_EQ(host.report,
              (Lines{">> status", "<- polls: 2", "<- reset request: numbers zeroed", ">> help"}));
}

} // namespace
} // namespace lorvent::sim::script
