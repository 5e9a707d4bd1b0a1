#include "app/tcpconn/tcp_conn.h"

#include <asio.hpp>

#include <array>

namespace lorvent {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

} // namespace

const char* DefaultServerHost() {
    return LORVENT_SERVER_HOST;
}

// One open connection. Each Connect makes a fresh one, so nothing received on
// an earlier connection can be taken for a reply on the next.
struct TCPConn::Link {
    asio::io_context io;
    asio::ip::tcp::socket socket{io};
    std::string received; // bytes after the last line taken
};

TCPConn::TCPConn(std::string host, std::uint16_t port, std::chrono::milliseconds replyWaitTimeout)
    : host_(std::move(host)), port_(port), replyWaitTimeout_(replyWaitTimeout) {}

TCPConn::~TCPConn() {
    Disconnect();
}

void TCPConn::Connect() {
    Disconnect();
    auto link = std::make_unique<Link>();
    const std::string service = std::to_string(port_);
    asio::error_code error;
    asio::ip::tcp::resolver resolver(link->io);
    const auto endpoints =
        resolver.resolve(host_, service, asio::ip::resolver_base::numeric_service, error);
    if (error)
        throw TCPConnError("cannot resolve '" + host_ + "': " + error.message());
    // Tries every address the name has (::1 and 127.0.0.1 for localhost), with
    // no time-out but the system's own.
    asio::connect(link->socket, endpoints, error);
    if (error)
        throw TCPConnError("cannot connect to " + host_ + ":" + service + ": " + error.message());
    link->socket.set_option(asio::ip::tcp::no_delay(true), error); // best effort
    link_ = std::move(link);
}

void TCPConn::WriteLine(std::string_view text) {
    if (text.find_first_of(kLineEnd) != std::string_view::npos)
        throw std::invalid_argument("a line to send must not contain CR or LF");
    Link& link = OpenLink("write");
    const std::array<asio::const_buffer, 2> line{asio::buffer(text.data(), text.size()),
                                                 asio::buffer(kLineEnd.data(), kLineEnd.size())};
    asio::error_code error;
    asio::write(link.socket, line, error);
    if (error) {
        Disconnect();
        throw TCPConnError("write to " + host_ + " failed: " + error.message());
    }
}

std::string TCPConn::ReadLine() {
    Link& link = OpenLink("read");
    for (;;) {
        const std::size_t end = link.received.find(kLineEnd);
        if (end != std::string::npos && end <= kMaxReplyLineLength) {
            std::string line = link.received.substr(0, end);
            link.received.erase(0, end + kLineEnd.size());
            return line;
        }
        // A trailing CR may be the first half of a line end still on its way.
        const std::size_t partialLength =
            end != std::string::npos ? end : link.received.size() - link.received.ends_with('\r');
        if (partialLength > kMaxReplyLineLength) {
            Disconnect();
            throw TCPConnError("reply line from " + host_ + " is too long");
        }
        if (!ReceiveMore(link))
            return {};
    }
}

bool TCPConn::Connected() const {
    return link_ && link_->socket.is_open();
}

void TCPConn::Disconnect() noexcept {
    if (!link_)
        return;
    asio::error_code ignored;
    link_->socket.close(ignored);
    link_.reset();
}

TCPConn::Link& TCPConn::OpenLink(const char* operation) {
    if (!Connected())
        throw TCPConnError(std::string("cannot ") + operation + ": not connected");
    return *link_;
}

// Waits up to the reply wait time-out for the next arrival of data and appends
// it to link.received. Returns false when the wait expired with nothing.
//
// The wait is an asynchronous read run for a bounded time on this thread's own
// io_context: it behaves the same on every platform, whereas a receive
// time-out on the socket (SO_RCVTIMEO) is not honoured by Asio's blocking
// reads on POSIX and takes other units on Windows.
bool TCPConn::ReceiveMore(Link& link) {
    std::array<char, 512> chunk;
    bool finished = false;
    asio::error_code result;
    std::size_t count = 0;
    link.socket.async_read_some(asio::buffer(chunk),
                                [&](const asio::error_code& error, std::size_t received) {
                                    finished = true;
                                    result = error;
                                    count = received;
                                });
    link.io.restart();
    link.io.run_for(replyWaitTimeout_);
    if (!finished) {
        // Time is up: cancel the read and let its handler run, so that nothing
        // refers to this frame's locals afterwards. Data that slipped in at the
        // same instant is kept.
        asio::error_code ignored;
        link.socket.cancel(ignored);
        link.io.restart();
        link.io.run();
    }
    link.received.append(chunk.data(), count);
    if (count > 0 || !result)
        return true;
    if (result == asio::error::operation_aborted)
        return false;
    const std::string reason = result == asio::error::eof ? "the server closed the connection"
                                                          : "read failed: " + result.message();
    Disconnect();
    throw TCPConnError(host_ + ": " + reason);
}

} // namespace lorvent
