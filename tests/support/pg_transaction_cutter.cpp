#include "support/pg_transaction_cutter.h"

#include "support/loopback_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace lorvent::testing {
namespace {

std::uint32_t BigEndian32(const char* bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

} // namespace

TTransactionCutter::TTransactionCutter(unsigned serverPort, int cutAt)
    : serverPort_(serverPort), cutAt_(cutAt) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        pipe(stop_) != 0)
        throw std::runtime_error("the transaction cutter cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

TTransactionCutter::~TTransactionCutter() {
    close(stop_[1]);
    thread_.join();
    close(stop_[0]);
    close(listener_);
}

std::string TTransactionCutter::Uri(const std::string& database) const {
    return "postgresql://lorvent@127.0.0.1:" + std::to_string(port_) + "/" + database +
           "?sslmode=disable&gssencmode=disable";
}

bool TTransactionCutter::Stopping() const {
    pollfd stop{stop_[0], POLLIN, 0};
    return poll(&stop, 1, 0) > 0;
}

void TTransactionCutter::Serve() {
    for (;;) {
        pollfd waits[] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 || waits[1].revents)
            return;
        const int client = accept(listener_, nullptr, nullptr);
        const int server = ConnectToLoopback(static_cast<std::uint16_t>(serverPort_));
        if (client >= 0 && server >= 0)
            Relay(client, server);
        close(client);
        close(server);
        if (Stopping())
            return;
    }
}

void TTransactionCutter::Relay(int client, int server) {
    std::string fromServer;
    char buffer[65536];
    for (;;) {
        pollfd waits[] = {{client, POLLIN, 0}, {server, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(waits, 3, -1) < 0 || waits[2].revents)
            return;
        if (waits[0].revents) {
            const ssize_t got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0)
                return;
            SendAll(server, buffer, static_cast<std::size_t>(got));
        }
        if (waits[1].revents) {
            const ssize_t got = recv(server, buffer, sizeof buffer, 0);
            if (got <= 0)
                return;
            fromServer.append(buffer, static_cast<std::size_t>(got));
            if (PassMessages(fromServer, client))
                return;
        }
    }
}

// A server message: a type byte, then a length that counts itself and the body.
bool TTransactionCutter::PassMessages(std::string& pending, int client) {
    std::size_t whole = 0;
    while (pending.size() - whole >= 5) {
        const std::size_t end = whole + 1 + BigEndian32(pending.data() + whole + 1);
        if (end > pending.size())
            break;
        const bool readyInTransaction =
            pending[whole] == 'Z' && end - whole == 6 && pending[whole + 5] == 'T';
        whole = end;
        if (readyInTransaction && ++readySeen_ == cutAt_) {
            // Held back by MSG_MORE, the bytes leave with the FIN that
            // shutdown adds to them.
            SendAll(client, pending.data(), whole, MSG_MORE);
            shutdown(client, SHUT_WR);
            return true;
        }
    }
    SendAll(client, pending.data(), whole);
    pending.erase(0, whole);
    return false;
}

} // namespace lorvent::testing
