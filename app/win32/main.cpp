// lorvent.exe: the Windows program.
#include "app/data_path.h"
#include "app/platform_protocol.h"
#include "app/program.h"
#include "app/startup.h"
#include "app/tcpconn/tcp_conn.h"
#include "protocol/protocol.h"
#include "win32_program.h"

#include <windows.h>

#include <iostream>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace lorvent;
    const std::optional<std::uint16_t> serverPort = ServerPort();
    if (!serverPort) {
        std::cerr << "lorvent: LORVENT_SERVER_PORT is not a port number" << std::endl;
        return kExitStartupFailed;
    }
    const auto keyboard = MakePlatformKeyboard();
    TProgramPlatform platform{*keyboard, DefaultDataFileName(), MakePlatformProtocol,
                              [port = *serverPort]() -> std::unique_ptr<TServerConnection> {
                                  return std::make_unique<TCPConn>(DefaultServerHost(), port);
                              }};
    return RunProgram(CommandLineArguments(), platform);
}
