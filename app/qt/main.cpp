#include "app/data_path.h"
#include "app/platform_protocol.h"
#include "app/startup.h"
#include "app/tcpconn/tcp_conn.h"
#include "display.h"
#include "protocol/protocol.h"
#include "qt_program.h"

#include <QApplication>

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>

namespace {

// The attendance server's port is fixed. LORVENT_SERVER_PORT exists only so
// that tests can run a server on a free port beside others; it is not a
// setting for sites.
std::optional<std::uint16_t> ServerPort() {
    const char* text = std::getenv("LORVENT_SERVER_PORT");
    if (text == nullptr || *text == '\0')
        return lorvent::kAttendancePort;
    const std::string_view value(text);
    unsigned port = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
    if (error != std::errc() || end != value.data() + value.size() || port == 0 || port > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

} // namespace

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
