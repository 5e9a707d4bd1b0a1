#pragma once

#include "app/program.h"

#include <string>
#include <vector>

namespace lorvent {

// The process's arguments in UTF-8, program name excluded, split as Windows
// splits a command line (double quotes group words and are removed).
std::vector<std::string> CommandLineArguments();

// Start-up, the message loop and shut-down. The window exists (hidden)
// before start-up runs and is shown only after it succeeded. Returns the exit
// status: the loop's result, or kExitStartupFailed.
int RunProgram(const std::vector<std::string>& arguments, TProgramPlatform& platform);

} // namespace lorvent
