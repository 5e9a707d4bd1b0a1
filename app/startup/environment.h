#pragma once

#include <optional>
#include <string>

namespace lorvent {

// A variable of the process's environment in UTF-8, none when unset. On
// Windows it is read from the process's own environment block, which
// SetEnvironmentVariable changes and the programs it starts inherit, not from
// the C library's copy made when the program started.
std::optional<std::string> EnvironmentValue(const char* name);

} // namespace lorvent
