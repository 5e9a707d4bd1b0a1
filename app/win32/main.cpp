// lorvent.exe: the Windows program.
#include "app/attendance/data_path.h"
#include "app/platform_protocol.h"
#include "app/program.h"
#include "app/startup/startup.h"
#include "app/tcpconn/tcp_conn.h"
#include "main_window.h"
#include "protocol/protocol.h"
#include "win32_program.h"

#include <windows.h>

#include <iostream>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace lorvent;
    const std::optional<std::uint16_t> serverPort = ServerPort();
    if (!serverPort) {
        // A GUI program's standard error is seen by nobody: the box says it.
        const std::string message = InvalidServerPortMessage();
        std::cerr << "lorvent: " << message << std::endl;
        TWin32MessageBoxes().ShowMessage(message, kErrorCaption, TMessageIcon::None);
        return kExitStartupFailed;
    }
    const auto keyboard = MakePlatformKeyboard();
    TProgramPlatform platform{*keyboard, DefaultDataFileName(), MakePlatformProtocol,
                              [port = *serverPort]() -> std::unique_ptr<TServerConnection> {
                                  return std::make_unique<TCPConn>(DefaultServerHost(), port);
                              }};
    return RunProgram(CommandLineArguments(), platform);
}
