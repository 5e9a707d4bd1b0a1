#include "support/notify_socket.h"

#include "app/daemon/service_notifier.h"

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <unistd.h>

namespace lorvent::testing {

TNotifySocket::TNotifySocket(std::string address) : address_(std::move(address)) {
    const auto socketAddress = UnixSocketAddress(address_);
    if (!socketAddress)
        return;
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&socketAddress->first),
                           socketAddress->second) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

TNotifySocket::~TNotifySocket() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    if (address_.front() == '/')
        ::unlink(address_.c_str());
}

std::optional<std::string> TNotifySocket::Receive(std::chrono::milliseconds timeout) {
    if (fd_ < 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        char buffer[4096];
        const ssize_t size = ::recv(fd_, buffer, sizeof buffer, 0);
        if (size < 0)
            return std::nullopt;
        received_.push_back({std::string(buffer, static_cast<std::size_t>(size)),
                             std::chrono::steady_clock::now()});
        return received_.back().text;
    }
}

bool TNotifySocket::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto next = Receive(left);
        if (!next)
            return false;
        if (*next == text)
            return true;
    }
    return false;
}

void TNotifySocket::Collect(std::chrono::milliseconds period) {
    const auto end = std::chrono::steady_clock::now() + period;
    while (std::chrono::steady_clock::now() < end)
        Receive(std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now()));
}

std::vector<std::string> TNotifySocket::Texts(const std::string& prefix) const {
    std::vector<std::string> texts;
    for (const auto& notification : received_)
        if (notification.text.rfind(prefix, 0) == 0)
            texts.push_back(notification.text);
    return texts;
}

} // namespace lorvent::testing
