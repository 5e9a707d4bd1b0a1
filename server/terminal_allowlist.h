#pragma once

#include <asio/ip/address.hpp>
#include <asio/ip/network_v4.hpp>
#include <asio/ip/network_v6.hpp>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lorvent::server {

class AllowlistError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The terminals that may upload records: addresses and networks, IPv4 and
// IPv6. An IPv4 client of a dual-stack socket (an IPv4-mapped IPv6 address)
// is matched as the IPv4 address it is.
class TerminalAllowlist {
public:
    // One entry a line: an address ("10.1.2.3", "fd00::7") or a network
    // ("10.1.0.0/16", "fd00::/64"); "#" starts a comment, blank lines are
    // skipped. Throws AllowlistError naming the line ("line 3: ...").
    static TerminalAllowlist Parse(std::string_view text);
    // Parse of the file at `path`; the error also names the file.
    static TerminalAllowlist Load(const std::string& path);

    bool Allows(const asio::ip::address& address) const;
    std::size_t size() const { return v4_.size() + v6_.size(); }

private:
    void Add(std::string_view entry); // throws AllowlistError without a line

    std::vector<asio::ip::network_v4> v4_;
    std::vector<asio::ip::network_v6> v6_;
};

} // namespace lorvent::server
