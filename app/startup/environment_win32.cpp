#include "environment.h"

#include "protocol/file_open.h"

#include <filesystem>
#include <windows.h>

namespace lorvent {

std::optional<std::string> EnvironmentValue(const char* name) {
    const std::wstring wideName = std::filesystem::path(name).wstring();
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(),
                                                     static_cast<DWORD>(value.size()));
        if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
            return std::nullopt;
        if (length < value.size()) {
            value.resize(length);
            return Utf8FromPath(std::filesystem::path(value));
        }
        value.resize(length); // too small: `length` counts the terminating zero
    }
}

} // namespace lorvent
