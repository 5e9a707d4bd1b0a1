// What the record journal adds to the handling of a card read: the window's
// AddLogRow in attendance mode (the record appended to the journal and synced
// before the row is shown) against the same read in keyboard mode, which
// keeps no record (typing into a recording keyboard costs next to nothing).
// The journal lives in LORVENT_BENCH_DIR (the system's temporary directory
// by default): the sync costs what that file system's disk makes it cost.
#include "app/attendance/record_journal.h"
#include "app/main_frm.h"
#include "fakes.h"
#include "protocol/protocol.h"
#include "support/engine_setup.h"
#include "support/fake_clock.h"
#include "support/recording_log.h"
#include "support/scripted_device.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace lorvent {
namespace {

std::filesystem::path BenchDirectory() {
    const char* chosen = std::getenv("LORVENT_BENCH_DIR");
    const std::filesystem::path base =
        chosen && *chosen ? std::filesystem::path(chosen) : std::filesystem::temp_directory_path();
    return base / ("lorvent-journal-bench-" + std::to_string(::getpid()));
}

// One read as the reader object hands it to the window, and the window's pass
// over what it was handed.
void HandRead(TMainFrm& frm) {
    static const std::uint8_t record[] = {0x83, 0x01, 0x01, 0x2a, 0xff, 0x00, 0x7b};
    frm.ReaderDevice()->Deliver(record, static_cast<int>(sizeof record));
    frm.ProcessProtocolMessages();
}

// Argument 0: keyboard mode, no record kept; 1: attendance mode, journaled.
void BM_HandleRead(benchmark::State& state) {
    const bool attendance = state.range(0) == 1;
    const std::filesystem::path directory = BenchDirectory();
    testing::TFakeView view;
    testing::TFakePoster poster;
    testing::TRecordingKeyboard keyboard;
    testing::DiscardingLog log;
    {
        TMainFrm frm({view,
                      poster,
                      keyboard,
                      keyboard,
                      {},
                      {},
                      [&] {
                          return std::make_unique<TProtocol>(testing::SteppedEngineSetup(
                              std::make_unique<testing::ScriptedDevice>(), log,
                              std::make_shared<testing::FakeClock>()));
                      },
                      {},
                      {}});
        std::vector<std::string> arguments = {"-db", (directory / "kalvinor.db").string()};
        if (attendance)
            arguments.push_back("-net");
        frm.InitFromCommandLine(arguments);
        int sinceTick = 0;
        for (auto _ : state) {
            HandRead(frm);
            if (++sinceTick == 100) { // the records of a tick: dropped, and the journal emptied
                state.PauseTiming();
                frm.UploadRecords();
                frm.WaitUntilTyped(std::chrono::seconds(60));
                keyboard.journal.clear();
                sinceTick = 0;
                state.ResumeTiming();
            }
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}
BENCHMARK(BM_HandleRead)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The pauses of the typing as the program takes them: the thread sleeps.
class TSleepingClock : public TAppClock {
public:
    std::tm Now() override { return {}; }
    void Sleep(int milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

// How long the window is held by a read in keyboard mode while its number
// is typed with the key delay of the argument (ms) and the real pauses: the
// read is handled and the number handed to the typing thread (timed), then
// the typing is waited for (not timed).
void BM_WindowHeldByTyping(benchmark::State& state) {
    const std::string delay = std::to_string(state.range(0));
    setenv("LORVENT_KEY_DELAY_MS", delay.c_str(), 1);
    testing::TFakeView view;
    testing::TFakePoster poster;
    testing::TRecordingKeyboard keyboard;
    TSleepingClock clock;
    testing::DiscardingLog log;
    TMainFrm frm({view,
                  poster,
                  keyboard,
                  clock,
                  {},
                  (BenchDirectory() / "kalvinor.db").string(),
                  [&] {
                      return std::make_unique<TProtocol>(testing::SteppedEngineSetup(
                          std::make_unique<testing::ScriptedDevice>(), log,
                          std::make_shared<testing::FakeClock>()));
                  },
                  {},
                  {}});
    frm.InitFromCommandLine({});
    for (auto _ : state) {
        HandRead(frm);
        state.PauseTiming();
        frm.WaitUntilTyped(std::chrono::seconds(60));
        keyboard.journal.clear();
        state.ResumeTiming();
    }
    unsetenv("LORVENT_KEY_DELAY_MS");
}
BENCHMARK(BM_WindowHeldByTyping)
    ->Arg(0)
    ->Arg(40)
    ->Arg(1000)
    ->Iterations(10)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The journal's append alone: one record written, flushed and synced.
void BM_JournalAppend(benchmark::State& state) {
    const std::filesystem::path directory = BenchDirectory();
    std::filesystem::create_directories(directory);
    TRecordJournal journal;
    if (journal.Open((directory / "kalvinor.db.journal").string()) !=
        TRecordJournal::TOpenResult::Opened) {
        state.SkipWithError("the journal did not open");
        return;
    }
    int appended = 0;
    for (auto _ : state) {
        if (!journal.Append("07/12/2026-23:16 012aff007b"))
            state.SkipWithError("the append failed");
        if (++appended % 100 == 0)
            journal.Clear();
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}
BENCHMARK(BM_JournalAppend)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace lorvent

BENCHMARK_MAIN();
