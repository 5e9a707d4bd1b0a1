#pragma once

#include "server/line_sink.h"

#include <asio.hpp>

#include <functional>
#include <string>

namespace lorvent::server {

// Accepts connections one after another and hands each on. An accept that
// fails (out of descriptors and the like) is logged and tried again a second
// later rather than spun on. Used on its io_context's thread only.
class ConnectionAcceptor {
public:
    using Handler = std::function<void(asio::ip::tcp::socket)>;

    // Binds at once (throws asio::system_error when it cannot); `what` names
    // the service in the log.
    ConnectionAcceptor(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint, LineSink& log,
                       std::string what, Handler handler);

    asio::ip::tcp::endpoint LocalEndpoint() const { return acceptor_.local_endpoint(); }
    void Stop();

private:
    void Accept();

    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
    LineSink& log_;
    std::string what_;
    Handler handler_;
    bool stopping_ = false;
};

} // namespace lorvent::server
