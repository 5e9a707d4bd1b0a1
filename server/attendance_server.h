#pragma once

#include "server/connection_acceptor.h"
#include "server/line_sink.h"
#include "server/store_worker.h"
#include "server/terminal_allowlist.h"

#include <asio.hpp>

#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace lorvent::server {

inline constexpr std::uint16_t kDefaultPort = 11000;
// A request line is 29 characters and CR LF; anything much longer is not one.
inline constexpr std::size_t kMaxRequestLength = 256;
// A client that sends nothing for this long is dropped (a peer that vanished
// mid-exchange would otherwise hold its socket for good).
inline constexpr std::chrono::seconds kDefaultIdleTimeout{60};
// A refused terminal keeps sending; its refusal is logged at most this often.
inline constexpr std::chrono::seconds kRefusalLogInterval{60};
inline constexpr const char* kTerminalNotAllowed = "ERR terminal not allowed";

class Session;

// Serves the attendance line protocol on one io_context: each client sends
// "L dd/mm/yyyy-hh:nn number" lines ended by CR LF and gets one reply line
// for each, "OK" once the store worker has committed the record or found it
// held already, "ERR reason" otherwise. Each record carries the client's
// address, which names its terminal, and the time it arrived. Problems that
// the clients only see as "ERR" go to `log`.
//
// With `terminals`, a client from any other address gets "ERR terminal not
// allowed" for every line and nothing it sends is stored; the terminal then
// keeps its records in its data file.
class AttendanceServer {
public:
    AttendanceServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
                     StoreWorker& worker, LineSink& log,
                     std::chrono::milliseconds idleTimeout = kDefaultIdleTimeout,
                     std::optional<TerminalAllowlist> terminals = std::nullopt);
    ~AttendanceServer();
    AttendanceServer(const AttendanceServer&) = delete;
    AttendanceServer& operator=(const AttendanceServer&) = delete;

    // The endpoint actually bound (the port chosen when 0 was asked for).
    asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.LocalEndpoint(); }
    // Stops accepting and closes every connection; io_context::run then returns
    // once the handlers in flight have finished. Call on the io_context's thread.
    void Stop();

private:
    friend class Session;

    void StartSession(asio::ip::tcp::socket socket);
    bool Allows(const asio::ip::tcp::socket& socket) const;
    void LogRefusal(const std::string& peer);

    ConnectionAcceptor acceptor_;
    StoreWorker& worker_;
    LineSink& log_;
    std::chrono::milliseconds idleTimeout_;
    std::optional<TerminalAllowlist> terminals_;
    // When each refused address was last logged; the io_context's thread only.
    std::map<std::string, std::chrono::steady_clock::time_point> refusalsLogged_;
    std::list<std::weak_ptr<Session>> sessions_;
};

// The reply line for a record's fate.
std::string ReplyFor(StoreOutcome outcome);

} // namespace lorvent::server
