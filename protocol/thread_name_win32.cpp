#include "clock.h"

#include <windows.h>

namespace lorvent {

// SetThreadDescription exists from Windows 10 1607 on; look it up so that the
// program still starts on older systems.
void NameCurrentThread(const char* name) {
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto setDescription = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
    if (setDescription == nullptr)
        return;
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 63);
    setDescription(GetCurrentThread(), wide);
}

} // namespace lorvent
