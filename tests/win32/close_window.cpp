// close_window TITLE [SECONDS]: asks the top-level window titled TITLE to close
// (WM_CLOSE, as its close box does). Status 0 once asked, 1 when no such
// window appeared within SECONDS (default 10). For scripts that end a Windows
// program gracefully under Wine.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || argc > 3) {
        std::fwprintf(stderr, L"usage: close_window TITLE [SECONDS]\n");
        return 2;
    }
    const long seconds = argc == 3 ? std::wcstol(argv[2], nullptr, 10) : 10;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    for (;;) {
        if (HWND window = FindWindowW(nullptr, argv[1])) {
            PostMessageW(window, WM_CLOSE, 0, 0);
            return 0;
        }
        if (GetTickCount64() >= deadline) {
            std::fwprintf(stderr, L"close_window: no window titled '%ls'\n", argv[1]);
            return 1;
        }
        Sleep(100);
    }
}
