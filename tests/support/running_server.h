#pragma once

// kalvinor-server's core as the program runs it, listening on 127.0.0.1 on a
// port of the system's choosing, on a thread of its own, over a store the
// caller owns.
#include "server/attendance_server.h"
#include "server/line_sink.h"
#include "server/store_worker.h"

#include <asio.hpp>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace lorvent::testing {

class TRunningServer {
public:
    explicit TRunningServer(server::RecordStore& store,
                            std::chrono::milliseconds idleTimeout = server::kDefaultIdleTimeout,
                            std::optional<server::TerminalAllowlist> terminals = std::nullopt)
        : worker_(store, storedSink_, problemsSink_),
          server_(io_, {asio::ip::make_address("127.0.0.1"), 0}, worker_, problemsSink_,
                  idleTimeout, std::move(terminals)),
          port_(server_.LocalEndpoint().port()), runner_([this] { io_.run(); }) {}
    ~TRunningServer() { Stop(); }
    TRunningServer(const TRunningServer&) = delete;
    TRunningServer& operator=(const TRunningServer&) = delete;

    // Stops the server and waits until its io_context has run out of work
    // and its worker has stopped.
    void Stop() {
        if (!runner_.joinable())
            return;
        asio::post(io_, [this] { server_.Stop(); });
        runner_.join();
        worker_.Stop();
    }

    std::uint16_t Port() const { return port_; }
    // Read these only after Stop: the server's thread writes them.
    std::string Stored() const { return stored_.str(); }
    std::string Problems() const { return problems_.str(); }

private:
    asio::io_context io_;
    std::ostringstream stored_;
    std::ostringstream problems_;
    server::StreamLineSink storedSink_{stored_};
    server::StreamLineSink problemsSink_{problems_};
    server::StoreWorker worker_;
    server::AttendanceServer server_;
    std::uint16_t port_;
    std::thread runner_;
};

} // namespace lorvent::testing
