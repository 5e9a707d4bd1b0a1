#include "server/login_throttle.h"

#include <asio/ip/address.hpp>

#include <algorithm>

namespace lorvent::server {

std::string LoginThrottle::KeyOf(const std::string& address) {
    asio::error_code error;
    const asio::ip::address parsed = asio::ip::make_address(address, error);
    if (error || !parsed.is_v6())
        return address;
    asio::ip::address_v6::bytes_type bytes = parsed.to_v6().to_bytes();
    if (parsed.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, parsed.to_v6()).to_string();
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

LoginThrottle::Clock::duration LoginThrottle::WaitLeft(const std::string& address,
                                                       Clock::time_point now) {
    const auto found = addresses_.find(KeyOf(address));
    if (found == addresses_.end() || found->second.waitUntil <= now)
        return Clock::duration::zero();
    return found->second.waitUntil - now;
}

LoginThrottle::Clock::duration LoginThrottle::Failed(const std::string& address,
                                                     Clock::time_point now) {
    Forget(now);
    Failures& failures = addresses_[KeyOf(address)];
    failures.count = std::min(failures.count + 1, 30);
    const Clock::duration wait =
        std::min<Clock::duration>(std::chrono::seconds(1LL << (failures.count - 1)), kLongestWait);
    failures.waitUntil = now + wait;
    failures.lastFailure = now;
    return wait;
}

void LoginThrottle::Succeeded(const std::string& address) {
    addresses_.erase(KeyOf(address));
}

// Drops the addresses whose failures are old, then, while too many are
// kept, the one whose wait ended first.
void LoginThrottle::Forget(Clock::time_point now) {
    std::erase_if(addresses_, [now](const auto& entry) {
        return now - entry.second.lastFailure >= kForgetAfter;
    });
    while (addresses_.size() >= kMostAddresses) {
        const auto oldest = std::min_element(
            addresses_.begin(), addresses_.end(),
            [](const auto& a, const auto& b) { return a.second.waitUntil < b.second.waitUntil; });
        addresses_.erase(oldest);
    }
}

} // namespace lorvent::server
