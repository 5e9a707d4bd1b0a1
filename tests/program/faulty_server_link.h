#pragma once

// A loopback relay between lorvent and kalvinor-server that misbehaves on
// request: it refuses connections, closes them mid-exchange, answers late or
// answers wrong. It remembers what became of every request line, so that a
// soak can tell a record the server stored without lorvent hearing "OK" (a
// second copy of it later is the protocol's doing) from a record lost.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace lorvent::testing {

enum class TServerFault {
    None,
    Refuse,             // nobody listens: connect() is refused
    CloseBeforeForward, // the connection closes with a request unanswered and unstored
    CloseAfterStore,    // the server stores the record, the connection closes before "OK"
    Late,               // the server's "OK" comes after the client stopped waiting
    WrongReply,         // the server stores the record, the client hears "ok"
    Error,              // "ERR busy" without asking the server
};

const char* ServerFaultName(TServerFault fault);

class TFaultyServerLink {
public:
    explicit TFaultyServerLink(std::uint16_t serverPort);
    ~TFaultyServerLink();
    TFaultyServerLink(const TFaultyServerLink&) = delete;
    TFaultyServerLink& operator=(const TFaultyServerLink&) = delete;

    // The port lorvent is to connect to.
    std::uint16_t Port() const { return port_; }
    // Applies to connections accepted from now on; the fault hits one request
    // of each connection (the first, second or third), the others pass.
    void SetFault(TServerFault fault) { fault_ = fault; }
    // False when the listening port could not be taken again after a refusal.
    bool Healthy() const { return healthy_; }

    // Numbers the server stored while the client was not told "OK".
    std::set<std::string> UnconfirmedButStored() const;
    // What happened to each request of `number`, oldest first.
    std::vector<std::string> History(const std::string& number) const;
    int Connections() const { return connections_; }
    int Faults() const { return faults_; }

private:
    void Run();
    bool Listen();
    void Serve(int client, TServerFault fault, int faultAt);
    void Note(const std::string& number, const std::string& what);

    std::uint16_t serverPort_;
    std::uint16_t port_ = 0;
    int listener_ = -1;
    std::atomic<TServerFault> fault_{TServerFault::None};
    std::atomic<bool> stop_{false};
    std::atomic<bool> healthy_{true};
    std::atomic<int> connections_{0};
    std::atomic<int> faults_{0};
    mutable std::mutex mutex_;
    std::set<std::string> unconfirmedButStored_;
    std::map<std::string, std::vector<std::string>> history_;
    std::thread thread_;
};

} // namespace lorvent::testing
