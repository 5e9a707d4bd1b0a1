#pragma once

#include "server/record_store.h"

#include <asio.hpp>

#include <chrono>
#include <list>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace lorvent::server {

inline constexpr std::uint16_t kDefaultPort = 11000;
// A request line is 29 characters and CR LF; anything much longer is not one.
inline constexpr std::size_t kMaxRequestLength = 256;
// A client that sends nothing for this long is dropped (a peer that vanished
// mid-exchange would otherwise hold its socket for good).
inline constexpr std::chrono::seconds kDefaultIdleTimeout{60};

class Session;

// Serves the attendance line protocol on one io_context: each client sends
// "L dd/mm/yyyy-hh:nn number" lines ended by CR LF and gets one reply line
// for each, "OK" once the record is committed, "ERR reason" otherwise.
// Every stored record is also written to `stored` as "dd/mm/yyyy-hh:nn number";
// failures that the clients only see as "ERR" go to `problems`.
class AttendanceServer {
public:
    AttendanceServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
                     RecordStore& store, std::ostream& stored, std::ostream& problems,
                     std::chrono::milliseconds idleTimeout = kDefaultIdleTimeout);
    ~AttendanceServer();
    AttendanceServer(const AttendanceServer&) = delete;
    AttendanceServer& operator=(const AttendanceServer&) = delete;

    // The endpoint actually bound (the port chosen when 0 was asked for).
    asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.local_endpoint(); }
    // Stops accepting and closes every connection; io_context::run then returns
    // once the handlers in flight have finished. Call on the io_context's thread.
    void Stop();

private:
    friend class Session;

    void Accept();
    void StartSession(asio::ip::tcp::socket socket);
    std::string Answer(std::string_view line);

    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer acceptRetry_;
    RecordStore& store_;
    std::ostream& stored_;
    std::ostream& problems_;
    std::chrono::milliseconds idleTimeout_;
    std::list<std::weak_ptr<Session>> sessions_;
    bool stopping_ = false;
};

} // namespace lorvent::server
