// A window with one multi-line EDIT control that takes the keyboard and keeps
// it: the end-to-end tests let lorvent.exe type into it and read the text back
// with WM_GETTEXT. It takes the foreground again whenever another window (the
// program under test showing its own) takes it away, unless a test lets go of
// it for a while (WM_HOLD_FOCUS, wParam 0) to work another program's menu.
// Ends on WM_CLOSE.
#include <windows.h>

namespace {

constexpr wchar_t kClassName[] = L"LorventEditTarget";
constexpr UINT_PTR kHoldFocusTimer = 1;
constexpr UINT kHoldFocusEveryMs = 100;
constexpr UINT WM_HOLD_FOCUS = WM_APP + 1; // wParam 1 holds, 0 lets go

HWND gEdit = nullptr;
bool gHolding = true;

void HoldFocus(HWND window) {
    if (GetForegroundWindow() != window)
        SetForegroundWindow(window);
    if (GetFocus() != gEdit)
        SetFocus(gEdit);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        gEdit = CreateWindowExW(0, L"EDIT", L"",
                                WS_CHILD | WS_VISIBLE | WS_BORDER | ES_MULTILINE | ES_WANTRETURN |
                                    ES_AUTOVSCROLL,
                                4, 4, 392, 192, window, nullptr, nullptr, nullptr);
        SetTimer(window, kHoldFocusTimer, kHoldFocusEveryMs, nullptr);
        return gEdit != nullptr ? 0 : -1;
    case WM_TIMER:
        if (wParam == kHoldFocusTimer && gHolding)
            HoldFocus(window);
        return 0;
    case WM_HOLD_FOCUS:
        gHolding = wParam != 0;
        if (gHolding)
            HoldFocus(window);
        return 0;
    case WM_SETFOCUS:
        SetFocus(gEdit);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClassName;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    if (!RegisterClassW(&windowClass))
        return 1;
    HWND window =
        CreateWindowExW(0, kClassName, L"Lorvent edit target", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                        400, 300, 416, 240, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return 1;
    SetForegroundWindow(window);
    SetFocus(gEdit);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
