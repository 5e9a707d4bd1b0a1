// lorventd: attendance mode without a window, for a door terminal that has no
// display, run by the service manager.
#include "app/daemon/daemon_program.h"
#include "app/daemon/journal_view.h"
#include "app/daemon/service_notifier.h"
#include "app/platform_protocol.h"
#include "app/startup/startup.h"
#include "app/tcpconn/tcp_conn.h"
#include "protocol/protocol.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    using namespace lorvent;
    // Standard error is the journal's stream: should the journal go away, the
    // program goes on without it rather than being ended by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto notifier = TServiceNotifier::FromEnvironment();
    const std::optional<std::uint16_t> serverPort = ServerPort();
    if (!serverPort) {
        JournalLine(std::cerr, kJournalError, "LORVENT_SERVER_PORT is not a port number");
        return kExitStartupFailed;
    }
    TNoKeyboard keyboard;
    TProgramPlatform platform{keyboard, DaemonDataFileName(), MakePlatformProtocol,
                              [port = *serverPort]() -> std::unique_ptr<TServerConnection> {
                                  return std::make_unique<TCPConn>(DefaultServerHost(), port);
                              },
                              DaemonStateDirectory()};
    return RunDaemon(arguments, platform, *notifier, std::cerr);
}
