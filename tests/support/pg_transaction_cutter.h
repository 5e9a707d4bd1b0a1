#pragma once

#include <cstdint>
#include <string>
#include <thread>

namespace lorvent::testing {

// Stands between a client and a PostgreSQL server on 127.0.0.1 and ends the
// first connection right after the server's `cutAt`-th "ready, inside a
// transaction" (ReadyForQuery 'T'). That message and the close go out in one
// TCP segment, so the client has the statement's result and, when it next
// looks, finds the connection ended: between two statements of one
// transaction, with no race. Later connections are relayed whole, one at a
// time. Throws std::runtime_error when it cannot listen.
class TTransactionCutter {
public:
    TTransactionCutter(unsigned serverPort, int cutAt);
    ~TTransactionCutter();
    TTransactionCutter(const TTransactionCutter&) = delete;
    TTransactionCutter& operator=(const TTransactionCutter&) = delete;

    // A libpq URI for `database` through the cutter, without TLS or GSS, so
    // that the server's messages can be read.
    std::string Uri(const std::string& database) const;

private:
    void Serve();
    void Relay(int client, int server);
    // Passes the whole messages of `pending` to the client; true when it cut.
    bool PassMessages(std::string& pending, int client);
    bool Stopping() const;

    unsigned serverPort_;
    int cutAt_;
    int readySeen_ = 0;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace lorvent::testing
