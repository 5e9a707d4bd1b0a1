#pragma once

// A listener on 127.0.0.1 that swallows connection attempts, as a server
// host does that has gone off the network or sits behind a dropping
// firewall: its accept queue (backlog 0) holds one connection that is never
// accepted, and the system drops every further attempt without an answer.
#include <asio.hpp>

#include <chrono>
#include <cstdint>

namespace lorvent::testing {

class TDroppingListener {
public:
    using tcp = asio::ip::tcp;

    TDroppingListener() : acceptor_(io_), filler_(io_) {
        acceptor_.open(tcp::v4());
        acceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
        acceptor_.listen(0);
        port_ = acceptor_.local_endpoint().port();
        filler_.connect(acceptor_.local_endpoint()); // takes the only place in the queue
    }

    std::uint16_t Port() const { return port_; }

    // Whether an attempt made now is still unanswered after `patience`:
    // dropped, neither refused nor taken. Tests check this before they rely
    // on it, since a system could refuse instead.
    bool DropsAttempts(std::chrono::milliseconds patience = std::chrono::milliseconds(300)) {
        asio::io_context io;
        tcp::socket probe(io);
        bool finished = false;
        probe.async_connect(acceptor_.local_endpoint(),
                            [&](const asio::error_code&) { finished = true; });
        io.run_for(patience);
        const bool answered = finished; // before closing ends the attempt
        asio::error_code ignored;
        probe.close(ignored);
        io.restart();
        io.run();
        return !answered;
    }

private:
    asio::io_context io_;
    tcp::acceptor acceptor_;
    tcp::socket filler_;
    std::uint16_t port_ = 0;
};

} // namespace lorvent::testing
