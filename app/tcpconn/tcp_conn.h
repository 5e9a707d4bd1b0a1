#pragma once

#include "app/attendance/server_connection.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lorvent {

inline constexpr std::uint16_t kAttendancePort = 11000;
inline constexpr std::chrono::milliseconds kReplyWaitTimeout{1000};
// The longest one connect lasts, name lookup included: the GUI thread waits
// for it, and a host that drops connection attempts (gone off the network,
// behind a dropping firewall) would otherwise hold it for minutes.
inline constexpr std::chrono::milliseconds kConnectTimeout{1000};
// Attempts a connect makes, started evenly over the first half of its bound
// (0, 250 and 500 ms into 1 s): the system resends a lost SYN only after a
// second, so one lost packet would otherwise cost the whole connect.
inline constexpr int kConnectAttempts = 3;
// How long a connect that knows addresses from an earlier lookup waits for
// its fresh lookup before it uses them: a prompt name server's fresh answer
// is taken at once, a slow one costs this much of the bound and no more.
inline constexpr std::chrono::milliseconds kFreshLookupWait{100};
// A reply longer than this is not a reply of ours; it is an error rather than
// a buffer that grows, and a GUI thread that waits, for as long as the peer
// keeps sending.
inline constexpr std::size_t kMaxReplyLineLength = 1024;

// A failed connect, write or read: refused, unresolvable, broken or closed by
// the server. The text says which, for whoever wants to log it.
class TCPConnError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The host name the program was built with (CMake cache variable LORVENT_SERVER_HOST).
const char* DefaultServerHost();

// Looks a host name up: its addresses as numeric texts. Blocks for as long as
// the system's resolver takes; throws TCPConnError when the name is unknown.
using TNameResolver = std::function<std::vector<std::string>(const std::string& host)>;

// The system's resolver (getaddrinfo).
std::vector<std::string> ResolveHostName(const std::string& host);

// A blocking line-oriented TCP client for the attendance upload, used from the
// GUI thread. Lines end in CR LF in both directions; a lone CR or LF inside a
// line is ordinary text.
//
// Asio stays behind a pointer so that the front-ends' own headers (windows.h)
// never meet Asio's.
class TCPConn : public TServerConnection {
public:
    // A name that is not a numeric address is looked up by `resolver` on a
    // thread of its own, which may outlive this object.
    explicit TCPConn(std::string host = DefaultServerHost(), std::uint16_t port = kAttendancePort,
                     std::chrono::milliseconds replyWaitTimeout = kReplyWaitTimeout,
                     std::chrono::milliseconds connectTimeout = kConnectTimeout,
                     TNameResolver resolver = ResolveHostName,
                     std::chrono::milliseconds freshLookupWait = kFreshLookupWait);
    ~TCPConn() override;
    TCPConn(const TCPConn&) = delete;
    TCPConn& operator=(const TCPConn&) = delete;

    // Connects within the connect time-out, dropping any earlier connection
    // first; throws TCPConnError. Each Connect starts a fresh lookup of the
    // name. Until one has answered it waits for it; after that it uses the
    // addresses of the last lookup that found any unless the fresh one answers
    // within freshLookupWait, and a lookup that answers later serves the next
    // Connect. A name that stops resolving keeps its last known addresses.
    // A lookup under way is never started twice, so a name server that does
    // not answer costs one thread at most. Several attempts race over the
    // addresses (kConnectAttempts); the first that connects is kept.
    void Connect() override;
    // Sends text and CR LF. Throws TCPConnError when not connected or the write
    // fails, std::invalid_argument when text holds a CR or LF (it would split
    // into two lines on the wire).
    void WriteLine(std::string_view text) override;
    // The next line without its CR LF. Waits at most the reply wait time-out
    // for each further arrival of data and returns an empty text when such a
    // wait expires. Throws TCPConnError when the server has closed the
    // connection, the read fails, or a line exceeds kMaxReplyLineLength.
    // After a time-out the late reply may still come on this connection, so
    // disconnect rather than send another request.
    std::string ReadLine() override;
    bool Connected() const override;
    // Closes the connection; harmless when there is none.
    void Disconnect() noexcept override;
    // Said once when the name stops resolving and its last known addresses
    // are used instead.
    std::string TakeNotice() override;

private:
    struct Link;
    struct Lookup;
    using Deadline = std::chrono::steady_clock::time_point;

    Link& OpenLink(const char* operation);
    bool ReceiveMore(Link& link);
    std::vector<std::string> Addresses(Deadline deadline);
    bool AwaitLookup(Deadline deadline);
    std::vector<std::string> TakeLookupAnswer();
    void StartLookup();
    void ConnectBefore(Link& link, const std::vector<std::string>& addresses, Deadline deadline);

    std::string host_;
    std::uint16_t port_;
    std::chrono::milliseconds replyWaitTimeout_;
    std::chrono::milliseconds connectTimeout_;
    TNameResolver resolver_;
    std::chrono::milliseconds freshLookupWait_;
    std::unique_ptr<Link> link_;
    std::shared_ptr<Lookup> lookup_; // under way or unclaimed
    std::vector<std::string> knownAddresses_; // of the last lookup that found any
    bool failureTold_ = false;                // since the name last resolved
    std::string notice_;
};

} // namespace lorvent
