#include "support/scoped_env.h"

#include "app/win32/text.h"

#include <windows.h>

namespace lorvent::testing {

// The process's own environment block, which the programs it starts and the
// libraries it loads read, not the C library's copy.
std::optional<std::string> GetEnv(const std::string& name) {
    wchar_t value[32768];
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(Utf16(name).c_str(), value, 32768);
    if ((length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) || length >= 32768)
        return std::nullopt;
    return Utf8(std::wstring(value, length));
}

void SetEnv(const std::string& name, const std::optional<std::string>& value) {
    SetEnvironmentVariableW(Utf16(name).c_str(), value ? Utf16(*value).c_str() : nullptr);
}

} // namespace lorvent::testing
