#include "support/pty_line.h"

#include <poll.h>
#include <termios.h>

#include <stdexcept>

namespace lorvent::testing {

void TPtyLine::Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = port_.Write(bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 || !Wait(POLLOUT, 1000))
            throw std::runtime_error("the line does not take bytes");
    }
}

std::vector<std::uint8_t> TPtyLine::Receive(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> bytes(count);
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (done < count) {
        const ssize_t n = port_.Read(bytes.data() + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (n < 0 || left.count() <= 0 || !Wait(POLLIN, static_cast<int>(left.count())))
            break;
    }
    bytes.resize(done);
    return bytes;
}

void TPtyLine::MakeCooked() const {
    termios settings{};
    tcgetattr(SlaveFd(), &settings);
    settings.c_iflag |= ICRNL | IXON | IXOFF;
    settings.c_oflag |= OPOST | ONLCR;
    settings.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    settings.c_cflag |= CRTSCTS | CSTOPB;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    tcsetattr(SlaveFd(), TCSANOW, &settings);
}

bool TPtyLine::Wait(short events, int timeoutMs) const {
    pollfd entry{port_.Fd(), events, 0};
    return poll(&entry, 1, timeoutMs) > 0 && (entry.revents & events);
}

} // namespace lorvent::testing
