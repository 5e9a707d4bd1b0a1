#include "server/report_web_server.h"

#include "server/tls_transport.h"
#include "server/web_exchange.h"

#include <ctime>
#include <memory>

namespace lorvent::server {

ReportWebServer::ReportWebServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
                                 ReportSite& site, LineSink& log, asio::ssl::context* tls)
    : site_(site), tls_(tls),
      acceptor_(io, endpoint, log, "web page",
                [this](asio::ip::tcp::socket socket) { Serve(std::move(socket)); }) {}

ReportWebServer::~ReportWebServer() = default;

void ReportWebServer::Stop() {
    acceptor_.Stop();
}

void ReportWebServer::Serve(asio::ip::tcp::socket socket) {
    asio::error_code error;
    const asio::ip::tcp::endpoint peer = socket.remote_endpoint(error);
    if (error)
        return; // gone already
    const std::string address = peer.address().to_string();
    if (tls_)
        std::make_shared<WebExchange<TlsStream>>(TlsStream(std::move(socket), *tls_), site_,
                                                 address)
            ->Start();
    else
        std::make_shared<WebExchange<asio::ip::tcp::socket>>(std::move(socket), site_, address)
            ->Start();
}

std::string LocalToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

} // namespace lorvent::server
