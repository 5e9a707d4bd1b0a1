#include "server/attendance_server.h"

#include <utility>

namespace lorvent::server {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The address a record came from; an IPv4 client of a dual-stack socket is
// shown as IPv4.
std::string PeerAddress(const asio::ip::tcp::socket& socket) {
    asio::error_code error;
    const auto peer = socket.remote_endpoint(error);
    if (error)
        return "unknown";
    const auto address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    return address.to_string();
}

} // namespace

std::string ReplyFor(StoreOutcome outcome) {
    switch (outcome) {
    case StoreOutcome::kStored:
    case StoreOutcome::kAlreadyHeld:
        return "OK";
    case StoreOutcome::kFailed:
        return "ERR not stored";
    case StoreOutcome::kUnavailable:
        return "ERR database unavailable";
    case StoreOutcome::kTooLate:
        return "ERR server busy";
    case StoreOutcome::kStopping:
        return "ERR server stopping";
    }
    return "ERR not stored";
}

// One client connection: read a line, answer it, read the next. The reply to
// a line is written before the next line is looked at, so replies keep the
// order of the requests even when a client sends ahead.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(AttendanceServer& server, asio::ip::tcp::socket socket)
        : server_(server), socket_(std::move(socket)), idle_(socket_.get_executor()),
          peer_(PeerAddress(socket_)), allowed_(server.Allows(socket_)) {}

    void Start() { ReadRequest(); }

    void Close() {
        asio::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        idle_.cancel();
    }

private:
    void ReadRequest() {
        ArmIdleTimer();
        asio::async_read_until(
            socket_, asio::dynamic_buffer(input_, kMaxRequestLength), kLineEnd,
            [self = shared_from_this()](const asio::error_code& error, std::size_t length) {
                self->OnRequest(error, length);
            });
    }

    void OnRequest(const asio::error_code& error, std::size_t length) {
        if (error == asio::error::not_found) {
            // The buffer is full and holds no line end: there is no telling
            // where the next line starts, so answer and hang up.
            Reply("ERR line too long", true);
            return;
        }
        if (error) {
            Close(); // end of stream, or closed by Stop or the idle timer
            return;
        }
        const std::string line = input_.substr(0, length - kLineEnd.size());
        input_.erase(0, length);
        if (!allowed_) {
            server_.LogRefusal(peer_);
            Reply(kTerminalNotAllowed, false);
            return;
        }
        auto parsed = ParseRecordLine(line);
        if (const auto* refusal = std::get_if<LineError>(&parsed)) {
            Reply("ERR " + refusal->reason, false);
            return;
        }
        Store(std::get<AttendanceRecord>(std::move(parsed)));
    }

    // The reply waits for the store worker's commit; it comes back to this
    // connection's thread.
    void Store(AttendanceRecord record) {
        idle_.cancel(); // the wait for the store is not the client's silence
        server_.worker_.Submit({std::move(record), peer_, UtcTimestampNow()},
                               [self = shared_from_this()](StoreOutcome outcome) mutable {
                                   auto executor = self->socket_.get_executor();
                                   asio::post(executor, [self = std::move(self), outcome] {
                                       self->Reply(ReplyFor(outcome), false);
                                   });
                               });
    }

    void Reply(std::string text, bool thenClose) {
        reply_ = std::move(text).append(kLineEnd);
        asio::async_write(
            socket_, asio::buffer(reply_),
            [self = shared_from_this(), thenClose](const asio::error_code& error, std::size_t) {
                if (error || thenClose)
                    self->Close();
                else
                    self->ReadRequest();
            });
    }

    void ArmIdleTimer() {
        idle_.expires_after(server_.idleTimeout_);
        idle_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error)
                self->Close();
        });
    }

    AttendanceServer& server_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer idle_;
    std::string peer_;
    bool allowed_;
    std::string input_;
    std::string reply_;
};

AttendanceServer::AttendanceServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
                                   StoreWorker& worker, LineSink& log,
                                   std::chrono::milliseconds idleTimeout,
                                   std::optional<TerminalAllowlist> terminals)
    : acceptor_(io, endpoint, log, "records",
                [this](asio::ip::tcp::socket socket) { StartSession(std::move(socket)); }),
      worker_(worker), log_(log), idleTimeout_(idleTimeout), terminals_(std::move(terminals)) {}

AttendanceServer::~AttendanceServer() = default;

void AttendanceServer::Stop() {
    acceptor_.Stop();
    for (const auto& entry : sessions_) {
        if (const auto session = entry.lock())
            session->Close();
    }
    sessions_.clear();
}

bool AttendanceServer::Allows(const asio::ip::tcp::socket& socket) const {
    if (!terminals_)
        return true;
    asio::error_code error;
    const auto peer = socket.remote_endpoint(error);
    return !error && terminals_->Allows(peer.address());
}

void AttendanceServer::LogRefusal(const std::string& peer) {
    const auto now = std::chrono::steady_clock::now();
    // Addresses not heard of for a while are forgotten, so that many of them
    // cannot grow the map for good.
    std::erase_if(refusalsLogged_,
                  [now](const auto& entry) { return now - entry.second >= kRefusalLogInterval; });
    if (!refusalsLogged_.emplace(peer, now).second)
        return;
    log_.Write("kalvinor-server: terminal " + peer +
               " is not in the terminals file; its records were refused");
}

void AttendanceServer::StartSession(asio::ip::tcp::socket socket) {
    sessions_.remove_if([](const std::weak_ptr<Session>& entry) { return entry.expired(); });
    asio::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto session = std::make_shared<Session>(*this, std::move(socket));
    sessions_.push_back(session);
    session->Start();
}

} // namespace lorvent::server
