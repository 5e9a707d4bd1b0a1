#include "app/tcpconn/tcp_conn.h"

#include <asio.hpp>

#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace lorvent {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// Runs `io` until the operation started on it has finished or the deadline
// has passed. At the deadline `stop` cancels it and its handler is let run,
// so that nothing refers to the caller's locals afterwards. Whether it had
// finished in time.
template <typename Stop>
bool FinishedBefore(asio::io_context& io, const bool& finished,
                    std::chrono::steady_clock::time_point deadline, Stop stop) {
    io.restart();
    io.run_until(deadline);
    if (finished)
        return true;
    stop();
    io.restart();
    io.run();
    return false;
}

// One of the attempts a connect races: a socket of its own, started by its
// timer.
struct ConnectAttempt {
    explicit ConnectAttempt(asio::io_context& io) : socket(io), start(io) {}
    asio::ip::tcp::socket socket;
    asio::steady_timer start;
};

} // namespace

const char* DefaultServerHost() {
    return LORVENT_SERVER_HOST;
}

std::vector<std::string> ResolveHostName(const std::string& host) {
    asio::io_context io;
    asio::ip::tcp::resolver resolver(io);
    asio::error_code error;
    const auto results = resolver.resolve(host, "0", asio::ip::resolver_base::numeric_service,
                                          error);
    if (error)
        throw TCPConnError("cannot resolve '" + host + "': " + error.message());
    std::vector<std::string> addresses;
    for (const auto& result : results)
        addresses.push_back(result.endpoint().address().to_string());
    return addresses;
}

// A name lookup on a thread of its own, which fills this in and leaves.
struct TCPConn::Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::vector<std::string> addresses;
    std::string error;
};

// One open connection. Each Connect makes a fresh one, so nothing received on
// an earlier connection can be taken for a reply on the next.
struct TCPConn::Link {
    asio::io_context io;
    asio::ip::tcp::socket socket{io};
    std::string received; // bytes after the last line taken
};

TCPConn::TCPConn(std::string host, std::uint16_t port, std::chrono::milliseconds replyWaitTimeout,
                 std::chrono::milliseconds connectTimeout, TNameResolver resolver,
                 std::chrono::milliseconds freshLookupWait)
    : host_(std::move(host)), port_(port), replyWaitTimeout_(replyWaitTimeout),
      connectTimeout_(connectTimeout), resolver_(std::move(resolver)),
      freshLookupWait_(freshLookupWait) {}

TCPConn::~TCPConn() {
    Disconnect();
}

void TCPConn::Connect() {
    Disconnect();
    const Deadline deadline = std::chrono::steady_clock::now() + connectTimeout_;
    auto link = std::make_unique<Link>();
    ConnectBefore(*link, Addresses(deadline), deadline);
    asio::error_code ignored;
    link->socket.set_option(asio::ip::tcp::no_delay(true), ignored); // best effort
    link_ = std::move(link);
}

// A numeric address needs no lookup. A name is looked up on a thread of its
// own; the connect waits for the answer until the deadline while it knows no
// address, and only briefly once it does.
std::vector<std::string> TCPConn::Addresses(Deadline deadline) {
    asio::error_code notNumeric;
    asio::ip::make_address(host_, notNumeric);
    if (!notNumeric)
        return {host_};
    if (!lookup_)
        StartLookup();
    const bool known = !knownAddresses_.empty();
    if (AwaitLookup(known ? std::min(deadline, std::chrono::steady_clock::now() + freshLookupWait_)
                          : deadline))
        return TakeLookupAnswer();
    if (known)
        return knownAddresses_; // the lookup goes on, for a later connect
    throw TCPConnError("looking up '" + host_ + "' took longer than " +
                       std::to_string(connectTimeout_.count()) + " ms");
}

bool TCPConn::AwaitLookup(Deadline deadline) {
    std::unique_lock<std::mutex> guard(lookup_->mutex);
    return lookup_->finished.wait_until(guard, deadline, [&] { return lookup_->done; });
}

// The finished lookup's addresses become the known ones; when it found none,
// the known ones stay, and the log is told once.
std::vector<std::string> TCPConn::TakeLookupAnswer() {
    const std::shared_ptr<Lookup> lookup = std::exchange(lookup_, nullptr);
    if (lookup->error.empty() && !lookup->addresses.empty()) {
        knownAddresses_ = lookup->addresses;
        failureTold_ = false;
        return knownAddresses_;
    }
    const std::string failure =
        lookup->error.empty() ? "'" + host_ + "' has no address" : lookup->error;
    if (knownAddresses_.empty())
        throw TCPConnError(failure);
    if (!failureTold_) {
        std::string addresses;
        for (const std::string& address : knownAddresses_)
            addresses += (addresses.empty() ? "" : ", ") + address;
        notice_ = failure + "; using the last known addresses of '" + host_ + "': " + addresses;
        failureTold_ = true;
    }
    return knownAddresses_;
}

std::string TCPConn::TakeNotice() {
    return std::exchange(notice_, {});
}

void TCPConn::StartLookup() {
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host = host_, resolver = resolver_] {
            std::vector<std::string> addresses;
            std::string error;
            try {
                addresses = resolver(host);
            } catch (const std::exception& failure) {
                error = failure.what();
            }
            std::lock_guard<std::mutex> guard(lookup->mutex);
            lookup->addresses = std::move(addresses);
            lookup->error = std::move(error);
            lookup->done = true;
            lookup->finished.notify_all();
        }).detach();
    } catch (const std::system_error& failure) {
        throw TCPConnError("cannot look up '" + host_ + "': " + failure.what());
    }
    lookup_ = std::move(lookup);
}

// Races kConnectAttempts attempts, each over every address in turn (::1 and
// 127.0.0.1 for localhost), started evenly over the first half of the bound
// on the link's own io_context. The first that connects becomes the link's
// socket. An attempt answered with an error (refused, unreachable) ends the
// connect once no other is under way, as a later one would be answered the
// same. At the deadline the attempts still waiting are closed.
void TCPConn::ConnectBefore(Link& link, const std::vector<std::string>& addresses,
                            Deadline deadline) {
    static_assert(kConnectAttempts >= 2);
    const std::string where = host_ + ":" + std::to_string(port_);
    std::vector<asio::ip::tcp::endpoint> endpoints;
    for (const std::string& address : addresses) {
        asio::error_code invalid;
        const auto parsed = asio::ip::make_address(address, invalid);
        if (!invalid)
            endpoints.emplace_back(parsed, port_);
    }
    if (endpoints.empty())
        throw TCPConnError("cannot connect to " + where + ": no address");

    std::vector<std::unique_ptr<ConnectAttempt>> attempts;
    ConnectAttempt* winner = nullptr;
    asio::error_code failure;
    int underWay = 0;
    bool finished = false;
    const auto endAttempts = [&] {
        finished = true;
        for (const auto& attempt : attempts) {
            attempt->start.cancel();
            asio::error_code ignored;
            if (attempt.get() != winner)
                attempt->socket.close(ignored);
        }
    };
    const auto spacing = connectTimeout_ / (2 * (kConnectAttempts - 1));
    const auto begin = std::chrono::steady_clock::now();
    for (int started = 0; started < kConnectAttempts; ++started) {
        attempts.push_back(std::make_unique<ConnectAttempt>(link.io));
        ConnectAttempt& attempt = *attempts.back();
        attempt.start.expires_at(begin + started * spacing);
        attempt.start.async_wait([&](const asio::error_code& cancelled) {
            if (cancelled || finished)
                return;
            ++underWay;
            asio::async_connect(attempt.socket, endpoints,
                                [&](const asio::error_code& error, const asio::ip::tcp::endpoint&) {
                                    --underWay;
                                    if (finished)
                                        return;
                                    if (!error)
                                        winner = &attempt;
                                    else
                                        failure = error;
                                    if (winner || underWay == 0)
                                        endAttempts();
                                });
        });
    }
    const bool answered = FinishedBefore(link.io, finished, deadline, endAttempts);
    if (winner) {
        link.socket = std::move(winner->socket);
        return;
    }
    if (failure || answered)
        throw TCPConnError("cannot connect to " + where + ": " + failure.message());
    throw TCPConnError("cannot connect to " + where + ": no answer within " +
                       std::to_string(connectTimeout_.count()) + " ms");
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
    // Data that slips in as the wait ends is kept.
    FinishedBefore(link.io, finished, std::chrono::steady_clock::now() + replyWaitTimeout_,
                   [&link] {
                       asio::error_code ignored;
                       link.socket.cancel(ignored);
                   });
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
