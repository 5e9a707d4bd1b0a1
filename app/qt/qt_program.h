#pragma once

#include "app/program.h"

#include <memory>
#include <string>
#include <vector>

class QApplication;

namespace lorvent {

inline constexpr int kExitNoDisplay = 2;

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
