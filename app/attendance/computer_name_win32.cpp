#include "app/attendance/computer_name.h"

#include <windows.h>

namespace lorvent {

// The NetBIOS name, as %COMPUTERNAME% shows it.
std::string ComputerName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length) || length == 0)
        return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    std::string text(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), text.data(), bytes, nullptr,
                            nullptr);
    return text;
}

} // namespace lorvent
