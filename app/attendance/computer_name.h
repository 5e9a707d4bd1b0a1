#pragma once

#include <string>

namespace lorvent {

// This computer's name as the system gives it (UTF-8), empty when it gives
// none; the source file is chosen by CMake per platform. Every computer keeps
// a journal of its own beside a shared data file under this name.
std::string ComputerName();

} // namespace lorvent
