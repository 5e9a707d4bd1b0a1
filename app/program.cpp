#include "program.h"

#include "app/tcpconn/tcp_conn.h"

#include <charconv>
#include <cstdlib>
#include <iostream>

namespace lorvent {

std::optional<std::uint16_t> ParsePort(const std::string& text) {
    unsigned port = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, port);
    if (text.empty() || error != std::errc() || stop != end || port == 0 || port > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

std::optional<std::uint16_t> ServerPort() {
    const char* text = std::getenv("LORVENT_SERVER_PORT");
    if (text == nullptr || *text == '\0')
        return kAttendancePort;
    return ParsePort(text);
}

std::ostream* OpenTrace(std::ofstream& file) {
    const char* target = std::getenv("LORVENT_UI_TRACE");
    if (target == nullptr || *target == '\0')
        return nullptr;
    if (std::string(target) == "-")
        return &std::cerr;
    file.open(target, std::ios::app);
    return file ? &file : nullptr;
}

} // namespace lorvent
