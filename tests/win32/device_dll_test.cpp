// The Windows device backend against the simulated converter library: the
// library is found and loaded the way the program loads it (FTD2XX.DLL, the
// eight calls by ordinal), the engine runs on its own thread, and the reader
// behind the library follows a script.
#include "win_test_util.h"

#include "device/d2xx_device.h"
#include "protocol/proto_slave.h"
#include "protocol/protocol.h"
#include "support/app_link.h"
#include "support/engine_setup.h"
#include "support/recording_log.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>

namespace lorvent {
namespace {

using namespace std::chrono_literals;
using testing::CountContaining;
using testing::Lines;

const std::vector<std::uint8_t> kAcknowledgeCommand = {0x03, 0x06, 0x00};

// The library's folder for one test: the simulated library, one that lacks a
// call, or none at all. Nothing named FTD2XX.DLL sits beside the test program.
class TLibraryFolder {
public:
    explicit TLibraryFolder(const wchar_t* name) {
        SetDllDirectoryW((testing::ExeDir() + L"\\" + name).c_str());
    }
    ~TLibraryFolder() { SetDllDirectoryW(nullptr); }
};

class DeviceDllTest : public ::testing::Test {
protected:
    // The script for the library's reader, and its log in the test's folder.
    void Script(const std::string& lines) {
        testing::WriteTextFile(dir.File(L"script.txt"), lines);
        script.emplace("LORVENT_SIM_SCRIPT", dir.File("script.txt").string());
    }
    std::vector<std::string> SimLog() const {
        return Lines(testing::ReadTextFile(dir.File(L"sim.log")).value_or(""));
    }
    std::string SimLogText() const {
        return testing::ReadTextFile(dir.File(L"sim.log")).value_or("(no log)");
    }

    // The engine with the platform's device and its thread running.
    void StartEngine(bool withThread = true) {
        TProtocolSetup setup = testing::EngineSetup(MakePlatformDevice(), log);
        setup.startThread = withThread;
        protocol = std::make_unique<TProtocol>(std::move(setup));
    }
    void StartLink() {
        link = std::make_unique<testing::AppLink>(*protocol, &log);
        link->Init(0xFFFFFFFF, 1);
    }
    // Drains the link until `count` messages came or `patience` ran out, and
    // then for `extra` more, answering each card read as the program does,
    // with the acknowledge command.
    std::vector<std::string> Collect(std::size_t count, std::chrono::milliseconds patience,
                                     std::chrono::milliseconds extra = 1500ms) {
        std::vector<std::string> inbound;
        auto end = std::chrono::steady_clock::now() + patience;
        bool counted = false;
        while (std::chrono::steady_clock::now() < end) {
            if (!counted && inbound.size() >= count) {
                counted = true;
                end = std::chrono::steady_clock::now() + extra; // time for a wrong extra message
            }
            for (auto& message : link->Drain()) {
                if (message.rfind("83", 0) == 0)
                    link->Send(kAcknowledgeCommand);
                inbound.push_back(message);
            }
            std::this_thread::sleep_for(10ms);
        }
        return inbound;
    }
    void TearDown() override {
        link.reset();
        protocol.reset(); // closes the device and unloads the library
    }

    testing::TTempDir dir;
    testing::TScopedEnv simLogPath{"LORVENT_SIM_LOG", dir.File("sim.log").string()};
    std::optional<testing::TScopedEnv> script;
    TLibraryFolder folder{L"dll-sim"};
    testing::RecordingLog log;
    std::unique_ptr<TProtocol> protocol;
    std::unique_ptr<testing::AppLink> link;
};

TEST_F(DeviceDllTest, TypicalStartThenOneCardReadDeliveredOnceAndAcknowledged) {
    Script("wait 1s\ncard 0x12345678\n");
    StartEngine();
    ASSERT_TRUE(protocol->Open("", "9600,n,8,1")) << SimLogText();
    StartLink();

    EXPECT_EQ(Collect(2, 10s), (std::vector<std::string>{"A0", "83 81 12 34 56 78"}))
        << SimLogText();

    const auto simLog = SimLog();
    EXPECT_EQ(CountContaining(simLog, "FT_Open: opened"), 1) << SimLogText();
    EXPECT_EQ(CountContaining(simLog, "<- set address 01"), 1) << SimLogText();
    EXPECT_EQ(CountContaining(simLog, "-> read card 12345678"), 1) << SimLogText();
    EXPECT_EQ(CountContaining(simLog, "card read 12345678 acknowledged"), 1) << SimLogText();
    EXPECT_EQ(CountContaining(simLog, ": acknowledge (03 06 00)"), 1) << SimLogText();
    EXPECT_EQ(CountContaining(log.Lines(), "Error"), 0);
}

TEST_F(DeviceDllTest, UnplugGivesDieMarkerThenWakeMarkerAfterReplug) {
    // Every poll on a failed device spends its frame budget on pauses, so
    // dying takes some seconds: the adapter stays away long enough.
    Script("wait 1500ms\nunplug 8s\n");
    StartEngine();
    ASSERT_TRUE(protocol->Open("", "9600,n,8,1")) << SimLogText();
    StartLink();

    EXPECT_EQ(Collect(3, 30s), (std::vector<std::string>{"A0", "A1", "A0"})) << SimLogText();

    const auto simLog = SimLog();
    EXPECT_EQ(CountContaining(simLog, "!! unplugged for 8000 ms"), 1) << SimLogText();
    EXPECT_EQ(CountContaining(simLog, "plugged in again"), 1) << SimLogText();
    // Opened at start and once more after the replug; tried in between.
    EXPECT_EQ(CountContaining(simLog, "FT_Open: opened"), 2) << SimLogText();
    EXPECT_GE(CountContaining(simLog, "FT_Open: status 2"), 1) << SimLogText();
    EXPECT_GE(CountContaining(log.Lines(), "Error 2 in FT_Open"), 1);
}

// Line noise, corrupted CRCs and a reader that misses polls cost retries, not
// reads: each card arrives once.
TEST_F(DeviceDllTest, FaultsOnTheLineLoseNoReadAndDoubleNone) {
    Script("wait 1s\nnoise 20\ncorrupt-crc 2\ncard 0x0a0b0c0d\nwait 1s\nsilence 3\n"
           "card 0x01020304\nwait 500ms\nnoise 7\n");
    StartEngine();
    ASSERT_TRUE(protocol->Open("", "9600,n,8,1")) << SimLogText();
    StartLink();

    EXPECT_EQ(Collect(3, 10s),
              (std::vector<std::string>{"A0", "83 81 0A 0B 0C 0D", "83 81 01 02 03 04"}))
        << SimLogText();

    const auto simLog = SimLog();
    EXPECT_EQ(CountContaining(simLog, "!! noise: 20 bytes"), 1) << SimLogText();
    EXPECT_EQ(CountContaining(simLog, "!! CRC corrupted"), 2) << SimLogText();
    EXPECT_EQ(CountContaining(simLog, "!! silent: poll not answered"), 3) << SimLogText();
    EXPECT_EQ(CountContaining(simLog, "acknowledged"), 2) << SimLogText();
}

// The status the library gives for a failing open step is the one the engine logs.
TEST_F(DeviceDllTest, ScriptedFailureOfAnOpenStepIsReportedWithItsStatus) {
    const struct {
        const char* script;
        const char* logged;
        bool closed; // the device had been opened and must be closed again
    } cases[] = {
        {"fail open 3\n", "Protocol Err  Error 3 in FT_Open", false},
        {"fail baud-rate 7\n", "Protocol Err  Error 7 in FT_SetBaudRate", true},
        {"fail data-characteristics 6\n", "Protocol Err  Error 6 in FT_SetDataCharacteristics",
         true},
        {"fail flow-control 4\n", "Protocol Err  Error 4 in FT_SetFlowControl", true},
        {"fail timeouts 200\n", "Protocol Err  Error -56 in FT_SetTimeouts", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        DeleteFileW(dir.File(L"sim.log").c_str());
        Script(c.script);
        StartEngine(false);
        EXPECT_FALSE(protocol->Open("", "9600,n,8,1"));
        EXPECT_EQ(log.Take(), std::vector<std::string>{c.logged});
        EXPECT_FALSE(protocol->DeviceOpen());
        EXPECT_EQ(CountContaining(SimLog(), "FT_Close: closed"), c.closed ? 1 : 0) << SimLogText();
        // Only the scripted call failed: the next open goes through.
        EXPECT_TRUE(protocol->OpenDevice()) << SimLogText();
        protocol.reset();
    }
}

TEST_F(DeviceDllTest, ScriptWithABadLineFailsEveryOpenAndNamesTheLine) {
    const struct {
        const char* line;
        const char* complaint;
    } cases[] = {
        {"card zz", "line 2: a card number is hexadecimal"},
        {"fail open 0", "line 2: usage: fail open|close|read|write"},
        {"fail sideways 3", "line 2: usage: fail open|close|read|write"},
        {"fail open 3 1001", "line 2: usage: fail open|close|read|write"},
        {"every 0s card 1", "line 2: every needs a period above zero"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        DeleteFileW(dir.File(L"sim.log").c_str());
        Script(std::string("wait 1s\n") + c.line + "\n");
        StartEngine(false);
        EXPECT_FALSE(protocol->Open("", "9600,n,8,1"));
        EXPECT_FALSE(protocol->OpenDevice());
        EXPECT_EQ(log.Take(), (std::vector<std::string>{"Protocol Err  Error 18 in FT_Open",
                                                        "Protocol Err  Error 18 in FT_Open"}));
        // Once when the script is read, and with each failed open.
        EXPECT_EQ(CountContaining(SimLog(), std::string("script.txt ") + c.complaint), 3)
            << SimLogText();
        protocol.reset();
    }
}

// A library that cannot be used fails the open as a missing one does, is
// never called, is unloaded again, and the log says why where the status
// cannot.
TEST_F(DeviceDllTest, LibraryThatCannotBeUsedIsRefusedAndTheLogSaysWhy) {
    const std::string program = sizeof(void*) == 8 ? "64-bit" : "32-bit";
    const std::string other = sizeof(void*) == 8 ? "32-bit" : "64-bit";
    const struct {
        const wchar_t* folder;
        std::vector<std::string> logged;
    } cases[] = {
        {L"dll-broken", {"Protocol Err  Error 18 in FT_Open"}},
        {L"dll-swapped",
         {"Protocol Err  Error 18 in FT_Open",
          "Protocol Err  FTD2XX.DLL is not used: its function number 3 is not FT_Read"}},
        {L"dll-other-width",
         {"Protocol Err  Error 18 in FT_Open", "Protocol Err  FTD2XX.DLL is a " + other +
                                                   " library and this program is " + program +
                                                   ": it needs the " + program + " FTD2XX.DLL"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.folder));
        TLibraryFolder refused(c.folder);
        StartEngine(false);
        EXPECT_FALSE(protocol->Open("", "9600,n,8,1"));
        EXPECT_FALSE(protocol->DeviceOpen());
        EXPECT_EQ(log.Take(), c.logged);
        // Every later open fails the same way, and says so again.
        EXPECT_FALSE(protocol->OpenDevice());
        EXPECT_EQ(log.Take(), c.logged);
        protocol.reset();
        EXPECT_EQ(GetModuleHandleW(L"FTD2XX.DLL"), nullptr) << "the refused library stays loaded";
    }
}

// The numbers are what the calls go by; the names only check them. The
// simulated library has both, and a library without names is used as it is.
TEST_F(DeviceDllTest, LibraryWithNamesThatAgreeOrWithoutNamesIsUsed) {
    for (const wchar_t* name : {L"dll-sim", L"dll-noname"}) {
        SCOPED_TRACE(Utf8(name));
        TLibraryFolder used(name);
        StartEngine(false);
        EXPECT_TRUE(protocol->Open("", "9600,n,8,1"));
        EXPECT_TRUE(protocol->DeviceOpen());
        EXPECT_EQ(log.Take(), std::vector<std::string>{});
        const HMODULE loaded = GetModuleHandleW(L"FTD2XX.DLL");
        ASSERT_NE(loaded, nullptr);
        const bool named = GetProcAddress(loaded, "FT_Read") != nullptr;
        EXPECT_EQ(named, std::wstring(name) == L"dll-sim") << "the library is not the one meant";
        protocol.reset();
    }
}

TEST_F(DeviceDllTest, WithoutTheLibraryOpenFailsAndALibraryInstalledLaterIsPickedUp) {
    {
        TLibraryFolder none(L"dll-none");
        StartEngine(false);
        EXPECT_FALSE(protocol->Open("", "9600,n,8,1"));
        EXPECT_EQ(log.Take(), std::vector<std::string>{"Protocol Err  Error 18 in FT_Open"});
    }
    TLibraryFolder sim(L"dll-sim");
    EXPECT_TRUE(protocol->OpenDevice());
    EXPECT_TRUE(protocol->DeviceOpen());
}

// Loading, opening, reopening and unloading again and again while the
// script's thread keeps the reader busy: each unload stops that thread, and
// the library really goes away. The first round unloads at once after the
// open, while the thread has only just started.
TEST_F(DeviceDllTest, ReopenAndUnloadWhileTheScriptRuns) {
    Script("every 50ms card random\nevery 70ms noise 3\n");
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        auto device = MakePlatformDevice();
        for (int open = 0; open < 2; ++open) {
            FT_HANDLE handle = nullptr;
            ASSERT_EQ(device->FT_Open(0, &handle), FT_OK) << SimLogText();
            EXPECT_EQ(device->FT_SetTimeouts(handle, 20, 100), FT_OK);
            if (round > 0)
                std::this_thread::sleep_for(150ms);
            std::uint8_t buffer[64];
            std::uint32_t got = 0;
            EXPECT_EQ(device->FT_Read(handle, buffer, sizeof buffer, &got), FT_OK);
            EXPECT_EQ(device->FT_Close(handle), FT_OK);
        }
        const auto before = std::chrono::steady_clock::now();
        device.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "the unload waited";
        EXPECT_EQ(GetModuleHandleW(L"FTD2XX.DLL"), nullptr) << "the library stays loaded";
    }
    const auto simLog = SimLog();
    EXPECT_EQ(CountContaining(simLog, "library unloaded"), kRounds) << SimLogText();
    EXPECT_EQ(CountContaining(simLog, "FT_Open: opened"), 2 * kRounds);
    EXPECT_EQ(CountContaining(simLog, "FT_Close: closed"), 2 * kRounds);
    EXPECT_GE(CountContaining(simLog, ">> every 50ms card random"), kRounds);
}

// The library's own calls, taken by ordinal: what the engine relies on when a
// handle is null or stale.
TEST_F(DeviceDllTest, CallsWithANullOrClosedHandleFail) {
    const std::wstring path = testing::ExeDir() + L"\\dll-sim\\FTD2XX.DLL";
    HMODULE library = LoadLibraryW(path.c_str());
    ASSERT_NE(library, nullptr);
    auto call = [&](int ordinal) {
        return reinterpret_cast<void (*)()>(GetProcAddress(library, MAKEINTRESOURCEA(ordinal)));
    };
    using OpenFn = ULONG(WINAPI*)(int, PVOID*);
    using CloseFn = ULONG(WINAPI*)(PVOID);
    using ReadFn = ULONG(WINAPI*)(PVOID, LPVOID, DWORD, LPDWORD);
    using BaudFn = ULONG(WINAPI*)(PVOID, ULONG);
    using DataFn = ULONG(WINAPI*)(PVOID, UCHAR, UCHAR, UCHAR);
    using FlowFn = ULONG(WINAPI*)(PVOID, USHORT, UCHAR, UCHAR);
    using TimeoutsFn = ULONG(WINAPI*)(PVOID, ULONG, ULONG);
    const auto open = reinterpret_cast<OpenFn>(call(1));
    const auto close = reinterpret_cast<CloseFn>(call(2));
    const auto read = reinterpret_cast<ReadFn>(call(3));
    const auto write = reinterpret_cast<ReadFn>(call(4));
    const auto baud = reinterpret_cast<BaudFn>(call(7));
    const auto data = reinterpret_cast<DataFn>(call(8));
    const auto flow = reinterpret_cast<FlowFn>(call(9));
    const auto timeouts = reinterpret_cast<TimeoutsFn>(call(17));
    for (auto fn : {call(1), call(2), call(3), call(4), call(7), call(8), call(9), call(17)})
        ASSERT_NE(fn, nullptr);
    EXPECT_EQ(call(5), nullptr) << "only the eight calls are exported";

    PVOID handle = nullptr;
    ASSERT_EQ(open(0, &handle), 0u);
    ASSERT_NE(handle, nullptr);
    PVOID second = nullptr;
    EXPECT_NE(open(0, &second), 0u) << "one owner at a time";
    EXPECT_NE(open(1, &second), 0u) << "there is only device 0";
    ASSERT_EQ(close(handle), 0u);

    std::uint8_t buffer[8] = {0xC0, 0x81};
    for (PVOID bad : {static_cast<PVOID>(nullptr), handle}) {
        SCOPED_TRACE(bad == nullptr ? "null handle" : "closed handle");
        DWORD count = 99;
        EXPECT_NE(read(bad, buffer, sizeof buffer, &count), 0u);
        EXPECT_EQ(count, 0u);
        count = 99;
        EXPECT_NE(write(bad, buffer, 2, &count), 0u);
        EXPECT_EQ(count, 0u);
        EXPECT_NE(baud(bad, 9600), 0u);
        EXPECT_NE(data(bad, 8, 0, 0), 0u);
        EXPECT_NE(flow(bad, 0, 0, 0), 0u);
        EXPECT_NE(timeouts(bad, 50, 100), 0u);
        EXPECT_NE(close(bad), 0u);
    }
    FreeLibrary(library);
}

} // namespace
} // namespace lorvent
