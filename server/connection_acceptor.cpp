#include "server/connection_acceptor.h"

namespace lorvent::server {

namespace {

constexpr std::chrono::seconds kAcceptRetryDelay{1};

} // namespace

ConnectionAcceptor::ConnectionAcceptor(asio::io_context& io,
                                       const asio::ip::tcp::endpoint& endpoint, LineSink& log,
                                       std::string what, Handler handler)
    : acceptor_(io, endpoint), retry_(io), log_(log), what_(std::move(what)),
      handler_(std::move(handler)) {
    Accept();
}

void ConnectionAcceptor::Stop() {
    stopping_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
}

void ConnectionAcceptor::Accept() {
    acceptor_.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (stopping_)
            return;
        if (!error) {
            handler_(std::move(socket));
            Accept();
            return;
        }
        log_.Write("kalvinor-server: " + what_ + ": accept failed: " + error.message());
        retry_.expires_after(kAcceptRetryDelay);
        retry_.async_wait([this](const asio::error_code& timerError) {
            if (!timerError && !stopping_)
                Accept();
        });
    });
}

} // namespace lorvent::server
