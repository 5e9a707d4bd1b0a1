// One upload tick against the reference server over loopback: how long the
// GUI thread is blocked, and how many records a tick gets through per second.
#include "app/tcpconn/tcp_conn.h"
#include "attendance_window.h"
#include "support/dropping_listener.h"
#include "support/loopback_server.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

namespace lorvent {
namespace {

using LoopbackServer = testing::TLoopbackServer;

// The window in attendance mode as the program starts it, its server
// connection made by the factory the program uses.
void BM_UploadTick(benchmark::State& state) {
    LoopbackServer server;
    testing::TAttendanceWindow window(
        server.DataFile().string(), [&]() -> std::unique_ptr<TServerConnection> {
            return std::make_unique<TCPConn>("127.0.0.1", server.Port());
        });
    const auto records = static_cast<int>(state.range(0));
    std::tm now{};
    now.tm_year = 126;
    now.tm_mday = 1;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < records; ++i)
            window.Read("012aff007b", now);
        state.ResumeTiming();
        window.UploadTick();
    }
    if (std::filesystem::file_size(server.DataFile()) != 0)
        state.SkipWithError("the server did not confirm every record");
    state.SetItemsProcessed(state.iterations() * records);
    state.counters["records/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_UploadTick)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A tick when the server's host swallows connection attempts (a listener
// whose accept queue is full): how long the GUI thread is blocked before the
// record goes to the data file. Argument 0 connects to 127.0.0.1, 1 to
// "localhost" (name lookup included).
void BM_TickWithSilentServer(benchmark::State& state) {
    testing::TDroppingListener silent;
    if (!silent.DropsAttempts()) {
        state.SkipWithError("this system answers attempts to a full accept queue");
        return;
    }
    testing::TTempDir directory;
    const std::string host = state.range(0) == 0 ? "127.0.0.1" : "localhost";
    testing::TAttendanceWindow window(directory.File("kalvinor.db").string(),
                                      [&]() -> std::unique_ptr<TServerConnection> {
                                          return std::make_unique<TCPConn>(host, silent.Port());
                                      });
    for (auto _ : state) {
        state.PauseTiming();
        window.Read("012aff007b", std::tm{});
        state.ResumeTiming();
        window.UploadTick();
    }
    if (!window.QueueIsEmpty())
        state.SkipWithError("the records did not reach the data file");
}
BENCHMARK(BM_TickWithSilentServer)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(5)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Ticks of one record each through a network that loses SYNs and a name
// server that takes 1.5 s per answer; run under
// tests/support/in_lossy_network.sh, which loses every second SYN. Counts the
// records that reached the server and the longest the GUI thread was held.
void BM_TickOnLossyNetwork(benchmark::State& state) {
    LoopbackServer server;
    const auto slowNameServer = [](const std::string&) -> std::vector<std::string> {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return {"127.0.0.1"};
    };
    testing::TAttendanceWindow window(
        server.DataFile().string(), [&]() -> std::unique_ptr<TServerConnection> {
            return std::make_unique<TCPConn>("attendance.test", server.Port(),
                                             std::chrono::seconds(30), kConnectTimeout,
                                             slowNameServer);
        });
    std::chrono::steady_clock::duration longest{};
    int tick = 0;
    for (auto _ : state) {
        state.PauseTiming();
        char number[11];
        std::snprintf(number, sizeof number, "%010x", 0x3b000000 + tick++);
        std::tm readAt{};
        readAt.tm_year = 126;
        readAt.tm_mday = 1;
        window.Read(number, readAt);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        window.UploadTick();
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
    }
    window.Close();
    state.counters["reached"] = static_cast<double>(server.StoredNumbers().size());
    state.counters["longest_ms"] =
        std::chrono::duration<double, std::milli>(longest).count();
}
BENCHMARK(BM_TickOnLossyNetwork)
    ->Iterations(100)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
} // namespace lorvent

BENCHMARK_MAIN();
