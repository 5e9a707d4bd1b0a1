// One upload tick against the reference server over loopback: how long the
// GUI thread is blocked, and how many records a tick gets through per second.
#include "app/main_frm.h"
#include "app/tcpconn/tcp_conn.h"
#include "fakes.h"
#include "protocol/protocol.h"
#include "server/attendance_server.h"
#include "support/dropping_listener.h"
#include "support/engine_setup.h"
#include "support/fake_clock.h"
#include "support/recording_log.h"
#include "support/scripted_device.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

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
        : directory_(std::filesystem::temp_directory_path() /
                     ("lorvent-upload-bench-" + std::to_string(::getpid()))),
          store_((std::filesystem::create_directories(directory_), directory_ / "server.sqlite")),
          server_(io_, {asio::ip::make_address("127.0.0.1"), 0}, store_, stored_, problems_),
          runner_([this] { io_.run(); }) {}
    ~LoopbackServer() {
        asio::post(io_, [this] { server_.Stop(); });
        runner_.join();
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    std::uint16_t Port() const { return server_.LocalEndpoint().port(); }
    std::filesystem::path DataFile() const { return directory_ / "kalvinor.db"; }

private:
    std::filesystem::path directory_;
    server::SqliteRecordStore store_;
    asio::io_context io_;
    std::ostringstream stored_;
    std::ostringstream problems_;
    server::AttendanceServer server_;
    std::thread runner_;
};

// The window in attendance mode as the program starts it, its engine stepped
// by hand over a scripted device (nothing reads the bus here), its server
// connection made by the factory the program uses.
void BM_UploadTick(benchmark::State& state) {
    LoopbackServer server;
    testing::TFakeView view;
    testing::TFakePoster poster;
    testing::TRecordingKeyboard keyboard;
    testing::DiscardingLog log;
    TMainFrm frm({view,
                  poster,
                  keyboard,
                  keyboard,
                  {},
                  {},
                  [&] {
                      return std::make_unique<TProtocol>(
                          testing::SteppedEngineSetup(std::make_unique<testing::ScriptedDevice>(),
                                                      log, std::make_shared<testing::FakeClock>()));
                  },
                  [&]() -> std::unique_ptr<TServerConnection> {
                      return std::make_unique<TCPConn>("127.0.0.1", server.Port());
                  },
                  {}});
    frm.InitFromCommandLine({"-net", "-db", server.DataFile().string()});
    const auto records = static_cast<int>(state.range(0));
    std::tm now{};
    now.tm_year = 126;
    now.tm_mday = 1;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < records; ++i)
            frm.AddLogRow(std::make_unique<TLogItem>(TLogItem{now, "012aff007b"}));
        state.ResumeTiming();
        frm.UploadRecords();
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
    const auto directory = std::filesystem::temp_directory_path() /
                           ("lorvent-silent-bench-" + std::to_string(::getpid()));
    testing::TFakeView view;
    testing::TFakePoster poster;
    testing::TRecordingKeyboard keyboard;
    testing::DiscardingLog log;
    const std::string host = state.range(0) == 0 ? "127.0.0.1" : "localhost";
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
                      [&]() -> std::unique_ptr<TServerConnection> {
                          return std::make_unique<TCPConn>(host, silent.Port());
                      },
                      {}});
        frm.InitFromCommandLine({"-net", "-db", (directory / "kalvinor.db").string()});
        for (auto _ : state) {
            state.PauseTiming();
            frm.AddLogRow(std::make_unique<TLogItem>(TLogItem{{}, "012aff007b"}));
            state.ResumeTiming();
            frm.UploadRecords();
        }
        if (!frm.QueuedRecords().empty())
            state.SkipWithError("the records did not reach the data file");
    }
    std::filesystem::remove_all(directory);
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
