#pragma once

#include "server/connection_acceptor.h"
#include "server/line_sink.h"
#include "server/record_store.h"

#include <asio.hpp>

#include <functional>
#include <string>
#include <string_view>

namespace lorvent::server {

struct WebResponse {
    int status = 200;
    std::string contentType;
    std::string body;
};

// The answer to one HTTP request head (request line and header lines):
// GET or HEAD of "/" (the page) or "/report.csv", each for "?day=YYYY-MM-DD"
// or else `today`. Reads the store; everything else is refused.
WebResponse AnswerWebRequest(std::string_view head, RecordStore& store, const std::string& today,
                             LineSink& log);

// The day report as a read-only web page, served on an io_context of its own
// (its queries must never hold up the records) from a store of its own.
class ReportWebServer {
public:
    ReportWebServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
                    RecordStore& store, LineSink& log, std::function<std::string()> today);
    ~ReportWebServer();
    ReportWebServer(const ReportWebServer&) = delete;
    ReportWebServer& operator=(const ReportWebServer&) = delete;

    asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.LocalEndpoint(); }
    // Call on the io_context's thread.
    void Stop();

private:
    class Exchange;

    ConnectionAcceptor acceptor_;
    RecordStore& store_;
    LineSink& log_;
    std::function<std::string()> today_;
};

// Today's date on this machine's clock, as the terminals write theirs.
std::string LocalToday();

} // namespace lorvent::server
