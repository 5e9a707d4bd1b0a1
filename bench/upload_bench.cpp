// One upload tick against the reference server over loopback: how long the
// GUI thread is blocked, and how many records a tick gets through per second.
#include "app/tcpconn/tcp_conn.h"
#include "attendance_window.h"
#include "server/attendance_server.h"
#include "server/sqlite_record_store.h"
#include "support/dropping_listener.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <sstream>
#include <thread>

namespace lorvent {
namespace {

// kalvinor-server's core on a thread of its own, with its database in a
// fresh temporary directory.
class LoopbackServer {
public:
    LoopbackServer()
        : store_(directory_.File("server.sqlite")), worker_(store_, stored_, problems_),
          server_(io_, {asio::ip::make_address("127.0.0.1"), 0}, worker_, problems_),
          runner_([this] { io_.run(); }) {}
    ~LoopbackServer() {
        asio::post(io_, [this] { server_.Stop(); });
        runner_.join();
        worker_.Stop();
    }
    std::uint16_t Port() const { return server_.LocalEndpoint().port(); }
    std::filesystem::path DataFile() const { return directory_.File("kalvinor.db"); }

private:
    testing::TTempDir directory_;
    server::SqliteRecordStore store_;
    asio::io_context io_;
    std::ostringstream storedText_;
    std::ostringstream problemsText_;
    server::StreamLineSink stored_{storedText_};
    server::StreamLineSink problems_{problemsText_};
    server::StoreWorker worker_;
    server::AttendanceServer server_;
    std::thread runner_;
};

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

} // namespace
} // namespace lorvent

BENCHMARK_MAIN();
