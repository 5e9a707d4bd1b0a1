#include "clock.h"

#include <windows.h>

namespace lorvent {
namespace {

// The debugger convention for naming a thread: an exception with this code and
// a four-word record, which an attached debugger reads and which is otherwise
// caught and ignored at once.
constexpr DWORD kSetThreadNameException = 0x406D1388;

struct TThreadNameInfo {
    ULONG_PTR type;     // always 0x1000
    ULONG_PTR name;     // the name, in the ANSI code page
    ULONG_PTR threadId; // -1: the calling thread
    ULONG_PTR flags;    // reserved, 0
};

LONG CALLBACK IgnoreThreadNameException(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode == kSetThreadNameException)
        return EXCEPTION_CONTINUE_EXECUTION;
    return EXCEPTION_CONTINUE_SEARCH;
}

void TellDebugger(const char* name) {
    TThreadNameInfo info{0x1000, reinterpret_cast<ULONG_PTR>(name), static_cast<ULONG_PTR>(-1), 0};
    // GCC has no __try/__except; a vectored handler catches the exception
    // instead, after any attached debugger has seen it.
    PVOID handler = AddVectoredExceptionHandler(1, IgnoreThreadNameException);
    if (handler == nullptr)
        return; // raising it uncaught would end the process
    RaiseException(kSetThreadNameException, 0, sizeof info / sizeof(ULONG_PTR),
                   reinterpret_cast<const ULONG_PTR*>(&info));
    RemoveVectoredExceptionHandler(handler);
}

// SetThreadDescription exists from Windows 10 1607 on; looked up so that the
// program still starts on older systems. Newer debuggers and crash dumps read it.
void SetDescription(const char* name) {
    using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto setDescription = reinterpret_cast<SetDescriptionFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetThreadDescription")));
    if (setDescription == nullptr)
        return;
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, 63);
    setDescription(GetCurrentThread(), wide);
}

} // namespace

void NameCurrentThread(const char* name) {
    TellDebugger(name);
    SetDescription(name);
}

} // namespace lorvent
