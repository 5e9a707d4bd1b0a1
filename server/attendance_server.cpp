#include "server/attendance_server.h"

#include <utility>

namespace lorvent::server {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::chrono::seconds kAcceptRetryDelay{1};

} // namespace

// One client connection: read a line, answer it, read the next. The reply to
// a line is written before the next line is looked at, so replies keep the
// order of the requests even when a client sends ahead.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(AttendanceServer& server, asio::ip::tcp::socket socket)
        : server_(server), socket_(std::move(socket)), idle_(socket_.get_executor()) {}

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
        Reply(server_.Answer(line), false);
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
    std::string input_;
    std::string reply_;
};

AttendanceServer::AttendanceServer(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint,
                                   RecordStore& store, std::ostream& stored, std::ostream& problems,
                                   std::chrono::milliseconds idleTimeout)
    : acceptor_(io, endpoint), acceptRetry_(io), store_(store), stored_(stored),
      problems_(problems), idleTimeout_(idleTimeout) {
    Accept();
}

AttendanceServer::~AttendanceServer() = default;

void AttendanceServer::Stop() {
    stopping_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    acceptRetry_.cancel();
    for (const auto& entry : sessions_) {
        if (const auto session = entry.lock())
            session->Close();
    }
    sessions_.clear();
}

void AttendanceServer::Accept() {
    acceptor_.async_accept([this](const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (stopping_)
            return;
        if (!error) {
            StartSession(std::move(socket));
            Accept();
            return;
        }
        // Out of descriptors and the like: say so and try again a little later
        // rather than spin.
        problems_ << "accept failed: " << error.message() << std::endl;
        acceptRetry_.expires_after(kAcceptRetryDelay);
        acceptRetry_.async_wait([this](const asio::error_code& timerError) {
            if (!timerError && !stopping_)
                Accept();
        });
    });
}

void AttendanceServer::StartSession(asio::ip::tcp::socket socket) {
    sessions_.remove_if([](const std::weak_ptr<Session>& entry) { return entry.expired(); });
    asio::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    auto session = std::make_shared<Session>(*this, std::move(socket));
    sessions_.push_back(session);
    session->Start();
}

// The reply line for one request line; the record is committed before "OK".
std::string AttendanceServer::Answer(std::string_view line) {
    auto parsed = ParseRecordLine(line);
    if (const auto* refusal = std::get_if<LineError>(&parsed))
        return "ERR " + refusal->reason;
    const auto& record = std::get<AttendanceRecord>(parsed);
    try {
        store_.Add(record);
    } catch (const StoreError& error) {
        problems_ << error.what() << std::endl;
        return "ERR not stored";
    }
    stored_ << record.readTime << ' ' << record.number << std::endl;
    return "OK";
}

} // namespace lorvent::server
