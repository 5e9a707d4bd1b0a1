#pragma once

#include "server/connection_acceptor.h"
#include "server/line_sink.h"
#include "server/report_site.h"

#include <asio.hpp>

#include <string>

namespace asio::ssl {
class context;
}

namespace lorvent::server {

// The report page (report_site.h) served on an io_context of its own (its
// queries must never hold up the records): plain HTTP, or HTTPS when given
// a TLS context.
class ReportWebServer {
public:
    // `tls`, when given, must outlive the server and its io_context's handlers.
    ReportWebServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint, ReportSite& site,
                    LineSink& log, asio::ssl::context* tls = nullptr);
    ~ReportWebServer();
    ReportWebServer(const ReportWebServer&) = delete;
    ReportWebServer& operator=(const ReportWebServer&) = delete;

    asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.LocalEndpoint(); }
    // Call on the io_context's thread.
    void Stop();

private:
    void Serve(asio::ip::tcp::socket socket);

    ReportSite& site_;
    asio::ssl::context* tls_;
    ConnectionAcceptor acceptor_;
};

// Today's date on this machine's clock, as the terminals write theirs.
std::string LocalToday();

} // namespace lorvent::server
