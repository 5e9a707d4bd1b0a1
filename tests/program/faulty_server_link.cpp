#include "faulty_server_link.h"

#include "support/loopback_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <random>
#include <stdexcept>

namespace lorvent::testing {
namespace {

using namespace std::chrono_literals;

// Longer than the client's wait for a reply (1 s), so the "OK" comes too late.
constexpr auto kLateBy = 1600ms;
constexpr int kReadPatienceMs = 3000;

// One line without its CR LF, or nothing when the peer closed or kept quiet.
class TLineReader {
public:
    explicit TLineReader(int socket) : socket_(socket) {}
    std::optional<std::string> Next() {
        for (;;) {
            const auto end = pending_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 2);
                return line;
            }
            pollfd p{socket_, POLLIN, 0};
            if (::poll(&p, 1, kReadPatienceMs) <= 0)
                return std::nullopt;
            char buffer[512];
            const ssize_t got = ::recv(socket_, buffer, sizeof buffer, 0);
            if (got <= 0)
                return std::nullopt;
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
    }

private:
    int socket_;
    std::string pending_;
};

std::string NumberOf(const std::string& request) {
    const auto space = request.rfind(' ');
    return space == std::string::npos ? request : request.substr(space + 1);
}

} // namespace

const char* ServerFaultName(TServerFault fault) {
    switch (fault) {
    case TServerFault::None:
        return "server answers";
    case TServerFault::Refuse:
        return "server refuses connections";
    case TServerFault::CloseBeforeForward:
        return "server closes before storing";
    case TServerFault::CloseAfterStore:
        return "server closes after storing";
    case TServerFault::Late:
        return "server answers late";
    case TServerFault::WrongReply:
        return "server answers wrong";
    case TServerFault::Error:
        return "server answers ERR";
    }
    return "?";
}

TFaultyServerLink::TFaultyServerLink(std::uint16_t serverPort) : serverPort_(serverPort) {
    if (!Listen())
        throw std::runtime_error("the relay cannot listen on 127.0.0.1");
    thread_ = std::thread([this] { Run(); });
}

TFaultyServerLink::~TFaultyServerLink() {
    stop_ = true;
    thread_.join();
    if (listener_ >= 0)
        ::close(listener_);
}

// The first time on a port the system picks; after a refusal on the same one.
bool TFaultyServerLink::Listen() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = LoopbackAddress(port_);
    socklen_t size = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (listener_ >= 0)
            ::close(listener_);
        listener_ = -1;
        return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
}

void TFaultyServerLink::Run() {
    std::mt19937 random(11);
    while (!stop_) {
        const TServerFault fault = fault_;
        if (fault == TServerFault::Refuse) {
            if (listener_ >= 0) {
                ::close(listener_);
                listener_ = -1;
            }
            std::this_thread::sleep_for(50ms);
            continue;
        }
        if (listener_ < 0 && !Listen()) {
            healthy_ = false;
            std::this_thread::sleep_for(200ms);
            continue;
        }
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        ++connections_;
        Serve(client, fault_, std::uniform_int_distribution<int>(0, 2)(random));
        ::close(client);
    }
}

void TFaultyServerLink::Serve(int client, TServerFault fault, int faultAt) {
    const int server = ConnectToLoopback(serverPort_);
    if (server < 0) {
        Note("-", "the server could not be reached");
        return;
    }
    TLineReader fromClient(client), fromServer(server);
    for (int index = 0;; ++index) {
        const auto request = fromClient.Next();
        if (!request)
            break;
        const std::string number = NumberOf(*request);
        const bool hit = fault != TServerFault::None && index == faultAt;
        faults_ += hit ? 1 : 0;
        if (hit && fault == TServerFault::CloseBeforeForward) {
            Note(number, "closed before the server saw it");
            break;
        }
        if (hit && fault == TServerFault::Error) {
            Note(number, "answered ERR, not stored");
            if (!SendAll(client, "ERR busy\r\n"))
                break;
            continue;
        }
        const auto reply = SendAll(server, *request + "\r\n") ? fromServer.Next() : std::nullopt;
        const bool stored = reply && *reply == "OK";
        if (!hit) {
            Note(number,
                 stored ? "stored, OK passed on" : "server said " + reply.value_or("nothing"));
            if (!reply || !SendAll(client, *reply + "\r\n"))
                break;
            continue;
        }
        if (stored) {
            std::lock_guard lock(mutex_);
            unconfirmedButStored_.insert(number);
        }
        Note(number, std::string(stored ? "stored, " : "not stored, ") + ServerFaultName(fault));
        if (fault == TServerFault::CloseAfterStore)
            break;
        if (fault == TServerFault::Late) {
            std::this_thread::sleep_for(kLateBy);
            SendAll(client, reply.value_or("") + "\r\n");
            break; // the client has given up on this connection
        }
        if (!SendAll(client, "ok\r\n")) // WrongReply
            break;
    }
    ::close(server);
}

void TFaultyServerLink::Note(const std::string& number, const std::string& what) {
    std::lock_guard lock(mutex_);
    history_[number].push_back(what);
}

std::set<std::string> TFaultyServerLink::UnconfirmedButStored() const {
    std::lock_guard lock(mutex_);
    return unconfirmedButStored_;
}

std::vector<std::string> TFaultyServerLink::History(const std::string& number) const {
    std::lock_guard lock(mutex_);
    const auto found = history_.find(number);
    return found == history_.end() ? std::vector<std::string>{} : found->second;
}

} // namespace lorvent::testing
