#pragma once

// A TCP peer on 127.0.0.1 that plays a script per connection, for tests of
// the attendance client.
#include <asio.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace lorvent::testing {

// Accepts `connections` connections one after another and runs the script on
// each, on a thread of its own. Gives up waiting for a connection after 10 s
// so that a failing test cannot hang.
class ScriptedPeer {
public:
    using tcp = asio::ip::tcp;
    using Script = std::function<void(tcp::socket&, int connection)>;

    explicit ScriptedPeer(Script script, int connections = 1)
        : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}),
          port_(acceptor_.local_endpoint().port()),
          thread_([this, script, connections] { Run(script, connections); }) {}
    ~ScriptedPeer() { thread_.join(); }

    std::uint16_t Port() const { return port_; }

private:
    void Run(const Script& script, int connections) {
        for (int connection = 0; connection < connections; ++connection) {
            tcp::socket socket(io_);
            acceptor_.async_accept(socket, [](const asio::error_code&) {});
            io_.restart();
            io_.run_for(std::chrono::seconds(10));
            if (!socket.is_open())
                return;
            try {
                script(socket, connection);
            } catch (const std::exception&) {
                // The client hung up early; what it saw is the test's to judge.
            }
        }
    }

    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::uint16_t port_;
    std::thread thread_;
};

inline std::string ReadRequest(asio::ip::tcp::socket& socket) {
    std::string request;
    asio::read_until(socket, asio::dynamic_buffer(request), "\r\n");
    return request;
}

inline void Send(asio::ip::tcp::socket& socket, std::string_view bytes) {
    asio::write(socket, asio::buffer(bytes));
}

// Keeps the connection open until the client closes it.
inline void AwaitHangUp(asio::ip::tcp::socket& socket) {
    char byte;
    asio::error_code ended;
    while (!ended)
        socket.read_some(asio::buffer(&byte, 1), ended);
}

} // namespace lorvent::testing
