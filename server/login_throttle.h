#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace lorvent::server {

// Slows down guessing passwords from one address. After its n-th failed
// login in a row an address waits 2^(n-1) seconds, at most kLongestWait:
// the failure's answer is held back that long, and a login from the address
// that comes before then is refused unchecked. A client that tries one
// password after another therefore never meets the refusal, only the wait;
// one that tries many at once is checked once per wait. An address's
// failures are forgotten kForgetAfter after its last one, or at a success.
// IPv6 addresses count by their /64 network, which one host may fill.
//
// Used on one thread (the report page's).
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kLongestWait{32};
    static constexpr std::chrono::minutes kForgetAfter{15};
    // Addresses kept at most; beyond, the one whose wait ended first goes.
    static constexpr std::size_t kMostAddresses = 4096;

    // How long the address must still wait before a login is checked; zero
    // when it may try now.
    Clock::duration WaitLeft(const std::string& address, Clock::time_point now);
    // Counts a failed login; returns how long its answer is held back.
    Clock::duration Failed(const std::string& address, Clock::time_point now);
    void Succeeded(const std::string& address);

    // The address a failure counts against: IPv6 as its /64.
    static std::string KeyOf(const std::string& address);

private:
    struct Failures {
        int count = 0;
        Clock::time_point waitUntil;
        Clock::time_point lastFailure;
    };

    void Forget(Clock::time_point now);

    std::map<std::string, Failures> addresses_;
};

} // namespace lorvent::server
