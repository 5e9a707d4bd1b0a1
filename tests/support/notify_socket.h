#pragma once

// A datagram socket of the test's own standing in for the service manager's
// notification socket: a program given its address in NOTIFY_SOCKET sends
// its READY=1, STATUS=, WATCHDOG=1 and STOPPING=1 here.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace lorvent::testing {

struct TNotification {
    std::string text;
    std::chrono::steady_clock::time_point arrived;
};

class TNotifySocket {
public:
    // `address`: a path, or "@name" for the abstract namespace.
    explicit TNotifySocket(std::string address);
    ~TNotifySocket();
    TNotifySocket(const TNotifySocket&) = delete;
    TNotifySocket& operator=(const TNotifySocket&) = delete;

    bool Bound() const { return fd_ >= 0; }
    const std::string& Address() const { return address_; }

    // The next datagram, or nothing when none came in time; each is kept.
    std::optional<std::string> Receive(std::chrono::milliseconds timeout);
    // Receives until a datagram equal to `text` arrives; false when none did in time.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout);
    // Receives whatever comes for `period`.
    void Collect(std::chrono::milliseconds period);

    // Every datagram received so far, in order.
    const std::vector<TNotification>& Received() const { return received_; }
    // The texts of those received so far that begin with `prefix`.
    std::vector<std::string> Texts(const std::string& prefix = "") const;

private:
    std::string address_;
    int fd_ = -1;
    std::vector<TNotification> received_;
};

} // namespace lorvent::testing
