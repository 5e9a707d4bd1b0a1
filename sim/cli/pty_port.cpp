#include "sim/cli/pty_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace lorvent::sim::cli {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void MakeRaw(int fd) {
    termios mode{};
    if (tcgetattr(fd, &mode) != 0)
        ThrowErrno("tcgetattr");
    cfmakeraw(&mode);
    cfsetispeed(&mode, B9600);
    cfsetospeed(&mode, B9600);
    mode.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(fd, TCSANOW, &mode) != 0)
        ThrowErrno("tcsetattr");
}

} // namespace

void TPtyPort::Open() {
    Close();
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0)
        ThrowErrno("posix_openpt");
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        const int saved = errno;
        ::close(master);
        errno = saved;
        ThrowErrno("preparing the pseudo-terminal");
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        const int saved = errno;
        ::close(master);
        errno = saved;
        ThrowErrno(std::string("opening ") + name);
    }
    master_ = master;
    slave_ = slave;
    slavePath_ = name;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    MakeRaw(slave_);
}

void TPtyPort::Close() {
    if (slave_ >= 0)
        ::close(slave_);
    if (master_ >= 0)
        ::close(master_);
    slave_ = master_ = -1;
    slavePath_.clear();
}

ssize_t TPtyPort::Read(std::uint8_t* buffer, std::size_t size) {
    const ssize_t got = ::read(master_, buffer, size);
    if (got < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return got;
}

ssize_t TPtyPort::Write(const std::uint8_t* bytes, std::size_t count) {
    const ssize_t put = ::write(master_, bytes, count);
    if (put < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return put;
}

void PointLink(const std::string& link, const std::string& target) {
    struct stat existing {};
    if (::lstat(link.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        throw std::runtime_error("'" + link +
                                 "' exists and is not a symbolic link; not replacing it");
    const std::string temporary = link + ".new" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0)
        ThrowErrno("symlink " + temporary);
    if (::rename(temporary.c_str(), link.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
        ThrowErrno("rename to " + link);
    }
}

void RemoveLink(const std::string& link) {
    struct stat existing {};
    if (::lstat(link.c_str(), &existing) == 0 && S_ISLNK(existing.st_mode))
        ::unlink(link.c_str());
}

} // namespace lorvent::sim::cli
