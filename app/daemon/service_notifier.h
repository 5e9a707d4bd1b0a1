#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <sys/socket.h>
#include <sys/un.h>

namespace lorvent {

// Tells the service manager how the service is doing, over the datagram
// socket that it names in NOTIFY_SOCKET: READY=1 once start-up has succeeded,
// STATUS= with what the status label shows, WATCHDOG=1 while the event loop
// turns, STOPPING=1 on the way out. Run by hand, without the variable, every
// message is dropped.
class TServiceNotifier {
public:
    // Nothing to tell anyone.
    TServiceNotifier() = default;
    // `address`: a socket path, or "@name" for the abstract namespace.
    // `watchdog`: the time within which the manager wants to hear WATCHDOG=1.
    TServiceNotifier(const std::string& address, std::optional<std::chrono::microseconds> watchdog);
    ~TServiceNotifier();
    TServiceNotifier(const TServiceNotifier&) = delete;
    TServiceNotifier& operator=(const TServiceNotifier&) = delete;

    // From NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID (a watchdog meant
    // for another process is not ours).
    static std::unique_ptr<TServiceNotifier> FromEnvironment();

    // The address could be used; otherwise every message is dropped.
    bool Connected() const { return socket_ >= 0; }
    // How often to send WATCHDOG=1: half the manager's time-out, so that one
    // late turn of the loop does not get the service killed.
    std::optional<std::chrono::microseconds> WatchdogInterval() const;

    // Sends one datagram of newline-separated assignments without waiting;
    // false when it could not be sent at once.
    bool Send(const std::string& assignments);
    void Ready() { Send("READY=1"); }
    // A status text holds no line end: only its first line is sent.
    void Status(const std::string& text);
    void Watchdog() { Send("WATCHDOG=1"); }
    void Stopping() { Send("STOPPING=1"); }

private:
    int socket_ = -1;
    std::string address_;
    std::optional<std::chrono::microseconds> watchdog_;
};

// The socket address of a path or an "@name" of the abstract namespace, and
// its length; nothing when it is neither or does not fit.
std::optional<std::pair<sockaddr_un, socklen_t>> UnixSocketAddress(const std::string& address);

// WATCHDOG_USEC's value: a positive number of microseconds in decimal digits.
std::optional<std::chrono::microseconds> ParseWatchdogUsec(const char* text);

} // namespace lorvent
