#pragma once

// The socket calls the tests' relays share: 127.0.0.1 only (POSIX).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace lorvent::testing {

inline sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A connection to 127.0.0.1:port, or -1.
inline int ConnectToLoopback(std::uint16_t port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = LoopbackAddress(port);
    if (socket >= 0 &&
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return socket;
    if (socket >= 0)
        ::close(socket);
    return -1;
}

// All of it, or false when the peer went.
inline bool SendAll(int socket, const char* data, std::size_t size, int flags = 0) {
    while (size > 0) {
        const ssize_t sent = ::send(socket, data, size, flags | MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

inline bool SendAll(int socket, const std::string& text) {
    return SendAll(socket, text.data(), text.size());
}

} // namespace lorvent::testing
