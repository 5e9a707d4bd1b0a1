#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

namespace lorvent::testing {

// Everything `fd` gives until its end (a pipe whose writers have all closed),
// then closes it. A read that a signal interrupts is made again.
inline std::string ReadToEnd(int fd) {
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    close(fd);
    return text;
}

} // namespace lorvent::testing
