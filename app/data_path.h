#pragma once

#include <string>

namespace lorvent {

// The attendance data file used when the command line names none; the source
// file is chosen by CMake per platform.
std::string DefaultDataFileName();

} // namespace lorvent
