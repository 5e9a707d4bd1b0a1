#pragma once

#include "app/keyboard.h"
#include "app/server_connection.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QApplication;

namespace lorvent {

class TProtocol;

inline constexpr int kExitNoDisplay = 2;

// What the program runs on: the real platform, or test doubles.
struct TProgramPlatform {
    TKeyboard& keyboard;
    std::string defaultDataFileName;
    std::function<std::unique_ptr<TProtocol>()> makeProtocol;
    std::function<std::unique_ptr<TServerConnection>()> makeServerConnection;
};

// Start-up, the message loop and shut-down with the application object made.
// The window is shown only after a successful start-up. Returns the exit
// status: the loop's result, or kExitStartupFailed.
int RunProgram(QApplication& application, const std::vector<std::string>& arguments,
               TProgramPlatform& platform);

// The application object. The toolkit sees only the program name: the command
// line is ours alone. Should the toolkit find no platform to run on, the
// process ends with kExitNoDisplay and the reason on standard error rather
// than with abort().
std::unique_ptr<QApplication> MakeApplication(char* programName);

} // namespace lorvent
