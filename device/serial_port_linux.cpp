// The bus device on Linux: the converter's tty (or any serial port named in
// the environment) driven through termios, with millisecond time-outs from poll().

#include "device/serial_port_linux.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace lorvent {

namespace {

using Clock = std::chrono::steady_clock;

// ---- Finding the port ------------------------------------------------------

std::optional<std::string> FirstListedPath(const char* list) {
    if (list == nullptr)
        return std::nullopt;
    const std::string text(list);
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find(':', begin), text.size());
        if (end > begin)
            return text.substr(begin, end - begin);
        begin = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> FirstMatch(const std::string& pattern) {
    glob_t found{};
    std::vector<std::string> paths;
    if (glob(pattern.c_str(), 0, nullptr, &found) == 0)
        paths.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    globfree(&found);
    if (paths.empty())
        return std::nullopt;
    // Natural order, so that ttyUSB2 comes before ttyUSB10.
    return *std::min_element(paths.begin(), paths.end(), [](const auto& a, const auto& b) {
        return strverscmp(a.c_str(), b.c_str()) < 0;
    });
}

// ---- Configuring the line ----------------------------------------------------

constexpr std::uint32_t kDefaultBaud = 9600;

std::optional<speed_t> SpeedFor(std::uint32_t baudRate) {
    static constexpr std::pair<std::uint32_t, speed_t> kSpeeds[] = {
        {110, B110},       {300, B300},       {600, B600},         {1200, B1200},
        {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},
        {38400, B38400},   {57600, B57600},   {115200, B115200},   {230400, B230400},
        {460800, B460800}, {921600, B921600}, {1000000, B1000000},
    };
    for (const auto& [rate, speed] : kSpeeds)
        if (rate == baudRate)
            return speed;
    return std::nullopt;
}

// Reads the line's settings, lets `change` edit them and writes them back.
template <typename Change> FT_STATUS ChangeTermios(int fd, Change change) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        return FT_IO_ERROR;
    if (FT_STATUS status = change(settings); status != FT_OK)
        return status;
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        return FT_IO_ERROR;
    return FT_OK;
}

void ClearFlowControl(termios& settings) {
    settings.c_cflag &= ~CRTSCTS;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
}

// Raw bytes, 9600 8N1, no flow control, the modem lines ignored. VMIN 1 with
// O_NONBLOCK makes read() return 0 only on a hang-up, never for "no data".
FT_STATUS MakeRaw(termios& settings) {
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    ClearFlowControl(settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    const speed_t speed = *SpeedFor(kDefaultBaud);
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0)
        return FT_IO_ERROR;
    return FT_OK;
}

std::optional<tcflag_t> WordLengthFlags(std::uint8_t wordLength) {
    switch (wordLength) {
    case 7:
        return CS7;
    case 8:
        return CS8;
    default:
        return std::nullopt;
    }
}

// 0 = one stop bit, 2 = two.
std::optional<tcflag_t> StopBitFlags(std::uint8_t stopBits) {
    switch (stopBits) {
    case 0:
        return tcflag_t{0};
    case 2:
        return CSTOPB;
    default:
        return std::nullopt;
    }
}

// 0 none, 1 odd, 2 even, 3 mark, 4 space.
std::optional<tcflag_t> ParityFlags(std::uint8_t parity) {
    switch (parity) {
    case 0:
        return tcflag_t{0};
    case 1:
        return PARENB | PARODD;
    case 2:
        return PARENB;
    case 3:
        return PARENB | PARODD | CMSPAR;
    case 4:
        return PARENB | CMSPAR;
    default:
        return std::nullopt;
    }
}

// ---- Opening ---------------------------------------------------------------

FT_STATUS StatusForOpenError(int error) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
        return FT_DEVICE_NOT_FOUND;
    default:
        return FT_DEVICE_NOT_OPENED;
    }
}

bool IsPermissionError(int error) {
    return error == EACCES || error == EPERM;
}

std::string GroupName(gid_t gid) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(gid);
}

// The group that may read and write the port at `path`, which the user can
// be made a member of; empty when the port's mode grants its group nothing.
std::string GroupThatMayOpen(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        return {};
    const mode_t groupReadWrite = S_IRGRP | S_IWGRP;
    if ((status.st_mode & groupReadWrite) != groupReadWrite)
        return {};
    return GroupName(status.st_gid);
}

int OpenRetryingOnSignal(const std::string& path) {
    int fd;
    do
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// flock() keeps out a second opener even when it runs as root, which TIOCEXCL
// does not; TIOCEXCL also keeps out programs that do not take the lock.
bool TakeExclusively(int fd) {
    int result;
    do
        result = flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    return result == 0 && ioctl(fd, TIOCEXCL) == 0;
}

void ReleaseAndClose(int fd) {
    // A tty keeps TIOCEXCL while anybody else holds it open: clear it, so the
    // next open by an ordinary user is not refused.
    ioctl(fd, TIOCNXCL);
    close(fd); // also drops the flock
}

// ---- Waiting ---------------------------------------------------------------

Clock::time_point DeadlineAfter(std::uint32_t milliseconds) {
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

// Milliseconds left until `deadline` for poll(), rounded up so that poll()
// does not wake just before it and spin.
int PollTimeout(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

enum class WaitResult { ready, timedOut, failed };

// Waits until the port is ready for `events` or the deadline passes. A
// hang-up or an error without the wanted event is a failure.
WaitResult WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int result = poll(&entry, 1, PollTimeout(deadline));
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0)
            return WaitResult::failed;
        if (result == 0)
            return WaitResult::timedOut;
        if (entry.revents & events)
            return WaitResult::ready;
        return WaitResult::failed; // POLLHUP, POLLERR or POLLNVAL alone
    }
}

// ---- The port ----------------------------------------------------------------

// What a handle points to. Time-outs of 0 mean "do not wait".
struct TSerialPort {
    int fd = -1;
    std::uint32_t readTimeoutMs = 0;
    std::uint32_t writeTimeoutMs = 0;
};

enum class TransferResult { progressed, wouldBlock, failed };

TransferResult ReadSome(int fd, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& done) {
    for (;;) {
        const ssize_t n = read(fd, buffer + done, length - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            return TransferResult::progressed;
        }
        if (n == 0)
            return TransferResult::failed; // hang-up: with VMIN 1 there is no empty read
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return TransferResult::wouldBlock;
        return TransferResult::failed; // EIO, ENXIO, ENODEV: the adapter is gone
    }
}

TransferResult WriteSome(int fd, const std::uint8_t* buffer, std::uint32_t length,
                         std::uint32_t& done) {
    for (;;) {
        const ssize_t n = write(fd, buffer + done, length - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            return TransferResult::progressed;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
            return TransferResult::wouldBlock;
        return TransferResult::failed;
    }
}

// Moves bytes with `transfer` until all `length` are done, the time-out since
// the call began runs out (FT_OK, fewer bytes) or the line fails (FT_IO_ERROR).
template <typename Transfer>
FT_STATUS TransferUntil(int fd, short events, std::uint32_t timeoutMs, std::uint32_t length,
                        std::uint32_t& done, Transfer transfer) {
    const auto deadline = DeadlineAfter(timeoutMs);
    while (done < length) {
        const TransferResult result = transfer(done);
        if (result == TransferResult::failed)
            return FT_IO_ERROR;
        if (result == TransferResult::progressed)
            continue;
        // Checked here too: a port that polls ready yet gives nothing must not
        // keep the caller spinning past the time-out.
        if (Clock::now() >= deadline)
            break;
        const WaitResult wait = WaitFor(fd, events, deadline);
        if (wait == WaitResult::timedOut)
            break;
        if (wait == WaitResult::failed)
            return FT_IO_ERROR;
    }
    return FT_OK;
}

class TSerialPortDevice final : public TD2xxDevice {
public:
    explicit TSerialPortDevice(TSerialPortSearch search) : search_(std::move(search)) {}

    ~TSerialPortDevice() override {
        for (auto& port : ports_)
            ReleaseAndClose(port->fd);
    }

    TSerialPortDevice(const TSerialPortDevice&) = delete;
    TSerialPortDevice& operator=(const TSerialPortDevice&) = delete;

    FT_STATUS FT_Open(int deviceIndex, FT_HANDLE* handle) override {
        if (handle == nullptr)
            return FT_INVALID_PARAMETER;
        *handle = nullptr;
        denied_.reset();
        // Found anew every time, so that a replugged adapter is found again.
        const auto path = FindSerialPort(deviceIndex, search_);
        if (!path)
            return FT_DEVICE_NOT_FOUND;
        const int fd = OpenRetryingOnSignal(*path);
        if (fd < 0) {
            const int error = errno;
            if (IsPermissionError(error))
                denied_ = TPortDenied{*path, GroupThatMayOpen(*path)};
            return StatusForOpenError(error);
        }
        if (!TakeExclusively(fd)) {
            close(fd);
            return FT_DEVICE_NOT_OPENED;
        }
        if (ChangeTermios(fd, MakeRaw) != FT_OK) {
            ReleaseAndClose(fd); // not a tty, or it failed at once
            return FT_DEVICE_NOT_OPENED;
        }
        tcflush(fd, TCIOFLUSH); // nothing left over from before this open
        ports_.push_back(std::make_unique<TSerialPort>(TSerialPort{fd}));
        *handle = ports_.back().get();
        return FT_OK;
    }

    FT_STATUS FT_Close(FT_HANDLE handle) override {
        const auto it = FindPort(handle);
        if (it == ports_.end())
            return FT_INVALID_HANDLE;
        ReleaseAndClose((*it)->fd);
        ports_.erase(it);
        return FT_OK;
    }

    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t length,
                      std::uint32_t* bytesRead) override {
        if (bytesRead != nullptr)
            *bytesRead = 0;
        TSerialPort* port = PortFor(handle);
        if (port == nullptr)
            return FT_INVALID_HANDLE;
        if (bytesRead == nullptr || (buffer == nullptr && length > 0))
            return FT_INVALID_PARAMETER;
        auto* bytes = static_cast<std::uint8_t*>(buffer);
        return TransferUntil(
            port->fd, POLLIN, port->readTimeoutMs, length, *bytesRead,
            [&](std::uint32_t& done) { return ReadSome(port->fd, bytes, length, done); });
    }

    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t length,
                       std::uint32_t* bytesWritten) override {
        if (bytesWritten != nullptr)
            *bytesWritten = 0;
        TSerialPort* port = PortFor(handle);
        if (port == nullptr)
            return FT_INVALID_HANDLE;
        if (bytesWritten == nullptr || (buffer == nullptr && length > 0))
            return FT_INVALID_PARAMETER;
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        return TransferUntil(
            port->fd, POLLOUT, port->writeTimeoutMs, length, *bytesWritten,
            [&](std::uint32_t& done) { return WriteSome(port->fd, bytes, length, done); });
    }

    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) override {
        TSerialPort* port = PortFor(handle);
        if (port == nullptr)
            return FT_INVALID_HANDLE;
        const auto speed = SpeedFor(baudRate);
        if (!speed)
            return FT_INVALID_BAUD_RATE;
        return ChangeTermios(port->fd, [&](termios& settings) {
            if (cfsetispeed(&settings, *speed) != 0 || cfsetospeed(&settings, *speed) != 0)
                return FT_INVALID_BAUD_RATE;
            return FT_OK;
        });
    }

    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, std::uint8_t wordLength,
                                        std::uint8_t stopBits, std::uint8_t parity) override {
        TSerialPort* port = PortFor(handle);
        if (port == nullptr)
            return FT_INVALID_HANDLE;
        const auto size = WordLengthFlags(wordLength);
        const auto stops = StopBitFlags(stopBits);
        const auto parityFlags = ParityFlags(parity);
        if (!size || !stops || !parityFlags)
            return FT_INVALID_PARAMETER;
        return ChangeTermios(port->fd, [&](termios& settings) {
            settings.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
            settings.c_cflag |= *size | *stops | *parityFlags;
            return FT_OK;
        });
    }

    // The bus runs without flow control; that is the one setting offered.
    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, std::uint16_t flowControl, std::uint8_t,
                                std::uint8_t) override {
        TSerialPort* port = PortFor(handle);
        if (port == nullptr)
            return FT_INVALID_HANDLE;
        if (flowControl != 0)
            return FT_INVALID_PARAMETER;
        return ChangeTermios(port->fd, [](termios& settings) {
            ClearFlowControl(settings);
            return FT_OK;
        });
    }

    FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                             std::uint32_t writeTimeoutMs) override {
        TSerialPort* port = PortFor(handle);
        if (port == nullptr)
            return FT_INVALID_HANDLE;
        port->readTimeoutMs = readTimeoutMs;
        port->writeTimeoutMs = writeTimeoutMs;
        return FT_OK;
    }

    std::optional<TPortDenied> OpenDenied() const override { return denied_; }

private:
    using Ports = std::vector<std::unique_ptr<TSerialPort>>;

    // Only handles this device gave out and has not closed are accepted, so a
    // foreign or closed handle is an error, never a use after free. (Like a
    // file descriptor, a closed handle's value may come back with a later open.)
    Ports::iterator FindPort(FT_HANDLE handle) {
        return std::find_if(ports_.begin(), ports_.end(),
                            [handle](const auto& port) { return port.get() == handle; });
    }

    TSerialPort* PortFor(FT_HANDLE handle) {
        const auto it = FindPort(handle);
        return it == ports_.end() ? nullptr : it->get();
    }

    TSerialPortSearch search_;
    Ports ports_;
    std::optional<TPortDenied> denied_;
};

} // namespace

std::optional<std::string> FindSerialPort(int deviceIndex, const TSerialPortSearch& search) {
    if (deviceIndex != 0)
        return std::nullopt;
    if (auto listed = FirstListedPath(std::getenv(search.envVar.c_str())))
        return listed;
    for (const auto& pattern : search.patterns)
        if (auto match = FirstMatch(pattern))
            return match;
    return std::nullopt;
}

std::unique_ptr<TD2xxDevice> MakeSerialPortDevice(TSerialPortSearch search) {
    return std::make_unique<TSerialPortDevice>(std::move(search));
}

std::unique_ptr<TD2xxDevice> MakePlatformDevice() {
    return MakeSerialPortDevice(TSerialPortSearch{});
}

} // namespace lorvent
