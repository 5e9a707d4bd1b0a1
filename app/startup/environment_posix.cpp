#include "environment.h"

#include <cstdlib>

namespace lorvent {

std::optional<std::string> EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

} // namespace lorvent
