#include "app/attendance/data_path.h"
#include "app/platform_protocol.h"
#include "app/program.h"
#include "app/startup/startup.h"
#include "app/tcpconn/tcp_conn.h"
#include "display.h"
#include "protocol/protocol.h"
#include "qt_program.h"

#include <QApplication>

#include <iostream>
#include <optional>

int main(int argc, char** argv) {
    using namespace lorvent;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (const std::string problem = DisplayProblem(); !problem.empty()) {
        std::cerr << "lorvent: " << problem << std::endl;
        return kExitNoDisplay;
    }
    const std::optional<std::uint16_t> serverPort = ServerPort();
    if (!serverPort) {
        std::cerr << "lorvent: LORVENT_SERVER_PORT is not a port number" << std::endl;
        return kExitStartupFailed;
    }
    const auto application = MakeApplication(argv[0]);
    EndDisplayProbe();
    const auto keyboard = MakePlatformKeyboard();
    TProgramPlatform platform{*keyboard, DefaultDataFileName(), MakePlatformProtocol,
                              [port = *serverPort]() -> std::unique_ptr<TServerConnection> {
                                  return std::make_unique<TCPConn>(DefaultServerHost(), port);
                              }};
    return RunProgram(*application, arguments, platform);
}
