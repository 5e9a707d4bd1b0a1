#pragma once

// kalvinor-server's core on a thread of its own, listening on 127.0.0.1 with
// its SQLite database in a fresh temporary directory, for tests and benches
// of the upload that want the real server without its process.
#include "server/attendance_server.h"
#include "server/sqlite_record_store.h"
#include "support/temp_dir.h"

#include <asio.hpp>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace lorvent::testing {

class TLoopbackServer {
public:
    TLoopbackServer()
        : store_(directory_.File("server.sqlite")), worker_(store_, stored_, problems_),
          server_(io_, {asio::ip::make_address("127.0.0.1"), 0}, worker_, problems_),
          runner_([this] { io_.run(); }) {}
    ~TLoopbackServer() { Stop(); }
    TLoopbackServer(const TLoopbackServer&) = delete;
    TLoopbackServer& operator=(const TLoopbackServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // A data file for the terminal, beside the server's database.
    std::filesystem::path DataFile() const { return directory_.File("kalvinor.db"); }

    // Stops the server and gives the card numbers it stored, in order.
    std::vector<std::string> StoredNumbers() {
        Stop();
        std::vector<std::string> numbers;
        store_.ForEach([&](const server::StoredRecord& stored) {
            numbers.push_back(stored.record.number);
        });
        return numbers;
    }

private:
    void Stop() {
        if (!runner_.joinable())
            return;
        asio::post(io_, [this] { server_.Stop(); });
        runner_.join();
        worker_.Stop();
    }

    TTempDir directory_;
    server::SqliteRecordStore store_;
    asio::io_context io_;
    std::ostringstream storedText_;
    std::ostringstream problemsText_;
    server::StreamLineSink stored_{storedText_};
    server::StreamLineSink problems_{problemsText_};
    server::StoreWorker worker_;
    server::AttendanceServer server_;
    std::uint16_t port_ = server_.LocalEndpoint().port();
    std::thread runner_;
};

} // namespace lorvent::testing
