#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace lorvent::testing {

// A pseudo-terminal standing in for the converter. The test holds the master
// (the reader's end of the line) and keeps its own raw fd on the slave, so the
// line stays up when the program closes its fd and nothing is echoed or
// translated before the program sets the line raw.
class PtyLine {
public:
    PtyLine() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (ptsname_r(master_, name, sizeof name) != 0)
            throw std::runtime_error("ptsname_r failed");
        slavePath_ = name;
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings{};
        if (slave_ < 0 || tcgetattr(slave_, &settings) != 0)
            throw std::runtime_error("cannot open " + slavePath_);
        cfmakeraw(&settings);
        tcsetattr(slave_, TCSANOW, &settings);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyLine() { Unplug(); }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    // The test's own fd on the program's side, for looking at the line settings.
    int SlaveFd() const { return slave_; }

    // The reader sends.
    void Send(const std::vector<std::uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else if (!WaitMaster(POLLOUT, 1000))
                throw std::runtime_error("line does not take bytes");
        }
    }

    // What the reader receives: up to `count` bytes, waiting at most `timeout`.
    std::vector<std::uint8_t> Receive(std::size_t count, std::chrono::milliseconds timeout) const {
        std::vector<std::uint8_t> bytes(count);
        std::size_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (done < count) {
            const ssize_t n = read(master_, bytes.data() + done, count - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !WaitMaster(POLLIN, static_cast<int>(left.count())))
                break;
        }
        bytes.resize(done);
        return bytes;
    }

    // Sets the slave as a fresh terminal has it (echo, line editing, CR to NL,
    // XON/XOFF, two stop bits, 115200), to show that an open undoes all of it.
    void MakeCooked() const {
        termios settings{};
        tcgetattr(slave_, &settings);
        settings.c_iflag |= ICRNL | IXON | IXOFF;
        settings.c_oflag |= OPOST | ONLCR;
        settings.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        settings.c_cflag |= CRTSCTS | CSTOPB;
        cfsetispeed(&settings, B115200);
        cfsetospeed(&settings, B115200);
        tcsetattr(slave_, TCSANOW, &settings);
    }

    // The adapter is pulled: both ends go, the /dev/pts node disappears.
    void Unplug() {
        if (master_ >= 0)
            close(master_);
        if (slave_ >= 0)
            close(slave_);
        master_ = slave_ = -1;
    }

private:
    bool WaitMaster(short events, int timeoutMs) const {
        pollfd entry{master_, events, 0};
        return poll(&entry, 1, timeoutMs) > 0 && (entry.revents & events);
    }

    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// A directory of its own under the temporary directory, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lorvent-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets (or, with no value, removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str()))
            old_ = old;
        Apply(value);
    }
    ~ScopedEnv() { Apply(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void Apply(const std::optional<std::string>& value) const {
        if (value)
            setenv(name_.c_str(), value->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

    std::string name_;
    std::optional<std::string> old_;
};

} // namespace lorvent::testing
