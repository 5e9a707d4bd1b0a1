#include "service_notifier.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace lorvent {

namespace {

// A number above zero in decimal digits alone.
std::optional<unsigned long long> PositiveNumber(const char* text) {
    if (text == nullptr)
        return std::nullopt;
    unsigned long long number = 0;
    const char* end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, number);
    if (stop == text || error != std::errc() || stop != end || number == 0)
        return std::nullopt;
    return number;
}

} // namespace

std::optional<std::pair<sockaddr_un, socklen_t>> UnixSocketAddress(const std::string& address) {
    if (address.empty() || (address.front() != '/' && address.front() != '@'))
        return std::nullopt;
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    const bool abstract = address.front() == '@';
    // A path needs its terminating NUL in sun_path; an abstract name does not.
    const std::size_t used = address.size() + (abstract ? 0 : 1);
    if (used > sizeof socketAddress.sun_path)
        return std::nullopt;
    std::memcpy(socketAddress.sun_path, address.data(), address.size());
    if (abstract)
        socketAddress.sun_path[0] = '\0';
    return std::make_pair(socketAddress,
                          static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + used));
}

std::optional<std::chrono::microseconds> ParseWatchdogUsec(const char* text) {
    const auto usec = PositiveNumber(text);
    if (!usec || *usec > static_cast<unsigned long long>(std::chrono::microseconds::max().count()))
        return std::nullopt;
    return std::chrono::microseconds(*usec);
}

TServiceNotifier::TServiceNotifier(const std::string& address,
                                   std::optional<std::chrono::microseconds> watchdog)
    : address_(address), watchdog_(watchdog) {
    if (UnixSocketAddress(address))
        socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

TServiceNotifier::~TServiceNotifier() {
    if (socket_ >= 0)
        ::close(socket_);
}

std::unique_ptr<TServiceNotifier> TServiceNotifier::FromEnvironment() {
    const char* address = std::getenv("NOTIFY_SOCKET");
    if (address == nullptr)
        return std::make_unique<TServiceNotifier>();
    auto watchdog = ParseWatchdogUsec(std::getenv("WATCHDOG_USEC"));
    if (const char* pid = std::getenv("WATCHDOG_PID"); pid != nullptr) {
        const auto owner = PositiveNumber(pid);
        if (!owner || *owner != static_cast<unsigned long long>(::getpid()))
            watchdog.reset();
    }
    return std::make_unique<TServiceNotifier>(address, watchdog);
}

std::optional<std::chrono::microseconds> TServiceNotifier::WatchdogInterval() const {
    if (!Connected() || !watchdog_)
        return std::nullopt;
    return std::max(*watchdog_ / 2, std::chrono::microseconds(1));
}

bool TServiceNotifier::Send(const std::string& assignments) {
    if (!Connected())
        return false;
    const auto address = UnixSocketAddress(address_);
    // Never waits: a manager that falls behind (its queue holds only a few
    // datagrams) loses a message rather than freezing the event loop, which
    // would stop every read and upload.
    ssize_t sent;
    do
        sent =
            ::sendto(socket_, assignments.data(), assignments.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&address->first), address->second);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(assignments.size());
}

void TServiceNotifier::Status(const std::string& text) {
    Send("STATUS=" + text.substr(0, text.find_first_of("\r\n")));
}

} // namespace lorvent
