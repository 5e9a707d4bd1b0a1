#include "server/server_options.h"

#include <asio/ip/address.hpp>

#include <charconv>

namespace lorvent::server {

const char* const kServerUsage =
    "usage: kalvinor-server [--port N] [--bind ADDRESS] [--db PATH]\n"
    "       kalvinor-server --list [--db PATH]\n"
    "  --port N        TCP port to listen on (default 11000; 0 picks a free one)\n"
    "  --bind ADDRESS  IP address to listen on (default 127.0.0.1)\n"
    "  --db PATH       SQLite database (default kalvinor-server.sqlite)\n"
    "  --list          print the stored records, oldest first, and exit\n";

namespace {

std::uint16_t ParsePort(const std::string& text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value > 65535)
        throw UsageError("--port needs a number from 0 to 65535, not '" + text + "'");
    return static_cast<std::uint16_t>(value);
}

std::string CheckAddress(const std::string& text) {
    asio::error_code error;
    asio::ip::make_address(text, error);
    if (error)
        throw UsageError("--bind needs an IP address, not '" + text + "'");
    return text;
}

} // namespace

ServerOptions ParseServerOptions(const std::vector<std::string>& arguments) {
    ServerOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--list") {
            options.list = true;
            continue;
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name != "--port" && name != "--bind" && name != "--db")
            throw UsageError("unknown option '" + name + "'");
        if (i + 1 == arguments.size())
            throw UsageError(name + " needs a value");
        const std::string& value = arguments[++i];
        if (name == "--port")
            options.port = ParsePort(value);
        else if (name == "--bind")
            options.bindAddress = CheckAddress(value);
        else if (value.empty())
            throw UsageError("--db needs a path");
        else
            options.databasePath = value;
    }
    return options;
}

} // namespace lorvent::server
