#include "server/terminal_allowlist.h"

#include "server/blank_trim.h"

#include <fstream>
#include <iterator>

namespace lorvent::server {

namespace {

std::string_view WithoutComment(std::string_view line) {
    return line.substr(0, line.find('#'));
}

// "a.b.c.d" is the network of that one address.
std::string WithPrefix(std::string_view entry, bool v6) {
    std::string text(entry);
    if (text.find('/') == std::string::npos)
        text += v6 ? "/128" : "/32";
    return text;
}

} // namespace

void TerminalAllowlist::Add(std::string_view entry) {
    const std::string address(entry.substr(0, entry.find('/')));
    asio::error_code error;
    const asio::ip::address parsed = asio::ip::make_address(address, error);
    if (!error && parsed.is_v4()) {
        const auto network = asio::ip::make_network_v4(WithPrefix(entry, false), error);
        if (!error) {
            v4_.push_back(network.canonical());
            return;
        }
    } else if (!error) {
        const auto network = asio::ip::make_network_v6(WithPrefix(entry, true), error);
        if (!error) {
            v6_.push_back(network.canonical());
            return;
        }
    }
    throw AllowlistError("'" + std::string(entry) + "' is neither an IP address nor a network");
}

TerminalAllowlist TerminalAllowlist::Parse(std::string_view text) {
    TerminalAllowlist list;
    std::size_t number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        const std::string_view entry = Trimmed(WithoutComment(line), " \t\r");
        if (entry.empty())
            continue;
        try {
            list.Add(entry);
        } catch (const AllowlistError& error) {
            throw AllowlistError("line " + std::to_string(number) + ": " + error.what());
        }
    }
    return list;
}

TerminalAllowlist TerminalAllowlist::Load(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string text;
    if (file)
        text.assign(std::istreambuf_iterator<char>(file), {});
    if (!file || file.bad())
        throw AllowlistError("cannot read the terminals file '" + path + "'");
    try {
        TerminalAllowlist list = Parse(text);
        // Most likely a mistake, and one that would send every terminal's
        // records to its data file.
        if (list.size() == 0)
            throw AllowlistError("it names no terminal");
        return list;
    } catch (const AllowlistError& error) {
        throw AllowlistError("terminals file '" + path + "': " + error.what());
    }
}

bool TerminalAllowlist::Allows(const asio::ip::address& address) const {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return Allows(asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()));
    if (address.is_v4()) {
        for (const auto& network : v4_) {
            if (asio::ip::make_network_v4(address.to_v4(), network.prefix_length()).canonical() ==
                network)
                return true;
        }
        return false;
    }
    for (const auto& network : v6_) {
        if (asio::ip::make_network_v6(address.to_v6(), network.prefix_length()).canonical() ==
            network)
            return true;
    }
    return false;
}

} // namespace lorvent::server
