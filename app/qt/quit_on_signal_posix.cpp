#include "quit_on_signal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <iostream>

#include <sys/socket.h>
#include <unistd.h>

namespace lorvent {

namespace {

constexpr std::array kQuitSignals = {SIGTERM, SIGINT, SIGHUP};

// The handler may only do what is async-signal-safe: it writes the signal's
// number to a socket that the message loop watches.
int gSignalSocket[2] = {-1, -1};
struct sigaction gPrevious[kQuitSignals.size()];

void OnQuitSignal(int number) {
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t ignored = ::write(gSignalSocket[0], &byte, 1);
    errno = savedErrno;
}

bool InstallHandlers() {
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kQuitSignals.size(); ++i)
        if (::sigaction(kQuitSignals[i], &action, &gPrevious[i]) != 0)
            return false;
    return true;
}

void RestoreHandlers() {
    for (std::size_t i = 0; i < kQuitSignals.size(); ++i)
        ::sigaction(kQuitSignals[i], &gPrevious[i], nullptr);
}

void CloseSignalSocket() {
    ::close(gSignalSocket[0]);
    ::close(gSignalSocket[1]);
    gSignalSocket[0] = gSignalSocket[1] = -1;
}

} // namespace

TQuitOnSignals::TQuitOnSignals() {
    const bool opened =
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalSocket) == 0;
    if (!opened || !InstallHandlers()) {
        if (opened) {
            RestoreHandlers();
            CloseSignalSocket();
        }
        std::cerr << "lorvent: termination signals will not run the shut-down" << std::endl;
        return;
    }
    notifier_ = new QSocketNotifier(gSignalSocket[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TQuitOnSignals::Arrived);
}

TQuitOnSignals::~TQuitOnSignals() {
    if (!Installed())
        return;
    RestoreHandlers();
    delete notifier_;
    CloseSignalSocket();
}

void TQuitOnSignals::Arrived() {
    unsigned char byte = 0;
    while (::read(gSignalSocket[1], &byte, 1) == 1)
        std::cerr << "lorvent: signal " << static_cast<int>(byte) << ", shutting down" << std::endl;
    QCoreApplication::quit();
}

} // namespace lorvent
