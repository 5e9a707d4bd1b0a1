#include "main_window.h"

#include "app/main_frm.h"
#include "app/startup/startup.h"
#include "icons.h"
#include "text.h"

#include <shellapi.h>

namespace lorvent {

namespace {

const wchar_t* const kFrameClass = L"LorventMainFrm";
constexpr DWORD kFrameStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr RECT kClientArea{130, 159, 130 + 223, 159 + 126};
constexpr RECT kLogGridBounds{0, 32, 209, 32 + 89};

// A window class of this program with its icon; registered once a process.
void RegisterProgramClass(const wchar_t* name, WNDPROC procedure, HICON icon) {
    WNDCLASSEXW windowClass{};
    if (GetClassInfoExW(GetModuleHandleW(nullptr), name, &windowClass))
        return;
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hIcon = icon;
    windowClass.hIconSm = icon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = name;
    RegisterClassExW(&windowClass);
}

// The application window: never seen itself, it carries the application's
// title and icon on the task-bar button and in Alt+Tab, and owns the main
// window, which (being owned) has no button of its own. What the user does
// to the button goes to the main window.
const wchar_t* const kApplicationClass = L"LorventApplication";

LRESULT CALLBACK ApplicationWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto frame = reinterpret_cast<HWND>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (frame == nullptr)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    switch (message) {
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_MINIMIZE) {
            ShowWindow(frame, SW_MINIMIZE);
            return 0;
        }
        if ((wParam & 0xFFF0) == SC_RESTORE) {
            ShowWindow(frame, SW_RESTORE);
            SetForegroundWindow(frame);
            return 0;
        }
        break;
    case WM_ACTIVATE:
        // The button was clicked: the main window comes to the front instead.
        if (LOWORD(wParam) != WA_INACTIVE && IsWindowVisible(frame)) {
            if (IsIconic(frame))
                ShowWindow(frame, SW_RESTORE);
            SetForegroundWindow(frame);
        }
        return 0;
    case WM_CLOSE:
        PostMessageW(frame, WM_CLOSE, 0, 0);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

HWND CreateApplicationWindow(HICON icon) {
    RegisterProgramClass(kApplicationClass, ApplicationWindowProc, icon);
    // No size: shown, it gives the button without covering anything.
    return CreateWindowExW(0, kApplicationClass, Utf16(kApplicationTitle).c_str(),
                           WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, 0, 0, 0, 0, nullptr,
                           nullptr, GetModuleHandleW(nullptr), nullptr);
}

// 8 points of the designed face; Windows substitutes a face it has.
HFONT CreateFormFont() {
    return CreateFontW(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
}

SIZE TextSize(HWND control, HFONT font, const std::wstring& text) {
    SIZE size{};
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, font);
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size;
}

} // namespace

// ---- Timers ----

// SetTimer on a running timer starts its period again, as a restart should.
void TWin32Timer::Start(int intervalMs) {
    SetTimer(window_, id_, static_cast<UINT>(intervalMs), nullptr);
    enabled_ = true;
}

void TWin32Timer::Stop() {
    KillTimer(window_, id_);
    enabled_ = false;
}

// ---- The window ----

TMainWindow::TMainWindow() {
    TrayImgList = CardReaderIcon();
    Font = CreateFormFont();
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    Application = CreateApplicationWindow(TrayImgList);
    CreateFrame();
    SetWindowLongPtrW(Application, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(hwnd_));
    ComLbl = CreateLabel(L"ComLbl", 8, 8);
    StatusLbl = CreateLabel(L"StatusLbl", 144, 8);
    LogGridControl = std::make_unique<TStringGrid>(hwnd_, kLogGridId, kLogGridBounds, Font);
    LogTimer_.Bind(hwnd_);
    BlickTimer_.Bind(hwnd_);
    BuildTrayPopup();
    AddTrayIcon();
    SetFocus(LogGridControl->Handle());
}

TMainWindow::~TMainWindow() {
    LogTimer_.Stop();
    BlickTimer_.Stop();
    RemoveTrayIcon();
    LogGridControl.reset();
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
    DestroyWindow(Application);
    DestroyMenu(TrayPopup);
    DeleteObject(Font);
    DestroyIcon(TrayImgList);
}

void TMainWindow::CreateFrame() {
    RegisterProgramClass(kFrameClass, &TMainWindow::WindowProc, TrayImgList);
    RECT frame = kClientArea;
    AdjustWindowRectEx(&frame, kFrameStyle, FALSE, 0);
    const int left = kClientArea.left;
    const int top = kClientArea.top;
    hwnd_ = CreateWindowExW(0, kFrameClass, Utf16(kWindowCaption).c_str(), kFrameStyle, left, top,
                            frame.right - frame.left, frame.bottom - frame.top, Application,
                            nullptr, GetModuleHandleW(nullptr), this);
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(TrayImgList));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(TrayImgList));
}

HWND TMainWindow::CreateLabel(const wchar_t* text, int x, int y) {
    HWND label = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                                 x, y, 0, 0, hwnd_, nullptr, GetModuleHandleW(nullptr), nullptr);
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
    const SIZE size = TextSize(label, Font, text);
    SetWindowPos(label, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
    return label;
}

// A label is as large as its text.
void TMainWindow::SetLabelText(HWND label, const std::string& text) {
    const std::wstring wide = Utf16(text);
    SetWindowTextW(label, wide.c_str());
    const SIZE size = TextSize(label, Font, wide);
    SetWindowPos(label, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
}

void TMainWindow::Show() {
    ShowWindow(Application, SW_SHOWNA);
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
}

void TMainWindow::SetComLblText(const std::string& text) {
    SetLabelText(ComLbl, text);
}

void TMainWindow::SetStatusLblText(const std::string& text) {
    SetLabelText(StatusLbl, text);
}

void TMainWindow::SetPoslatEnter1Visible(bool visible) {
    poslatEnter1Visible_ = visible;
    BuildTrayPopup();
}

void TMainWindow::SetPoslatEnter1Checked(bool checked) {
    poslatEnter1Checked_ = checked;
    BuildTrayPopup();
}

// A Win32 menu has no hidden items: a hidden item is left out of the menu.
void TMainWindow::BuildTrayPopup() {
    if (TrayPopup == nullptr)
        TrayPopup = CreatePopupMenu();
    while (GetMenuItemCount(TrayPopup) > 0)
        DeleteMenu(TrayPopup, 0, MF_BYPOSITION);
    std::wstring restore = L"Obnovit";
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_ID | MIIM_STRING | MIIM_FTYPE;
    item.fType = MFT_STRING;
    item.wID = kRestore1Id;
    item.dwTypeData = restore.data();
    InsertMenuItemW(TrayPopup, 0, TRUE, &item);
    SetMenuDefaultItem(TrayPopup, kRestore1Id, FALSE);
    if (!poslatEnter1Visible_)
        return;
    std::wstring sendEnter = Utf16("Posílat Enter");
    item.fMask |= MIIM_STATE;
    item.wID = kPoslatEnter1Id;
    item.fState = poslatEnter1Checked_ ? MFS_CHECKED : MFS_UNCHECKED;
    item.dwTypeData = sendEnter.data();
    InsertMenuItemW(TrayPopup, 1, TRUE, &item);
}

bool TMainWindow::AddTrayIcon() {
    NOTIFYICONDATAW icon{};
    icon.cbSize = sizeof icon;
    icon.hWnd = hwnd_;
    icon.uID = kTrayIconId;
    icon.uFlags = NIF_MESSAGE | NIF_ICON;
    icon.uCallbackMessage = WM_TRAY_ICON;
    icon.hIcon = TrayImgList;
    trayShown_ = Shell_NotifyIconW(NIM_ADD, &icon) != FALSE;
    return trayShown_;
}

void TMainWindow::RemoveTrayIcon() {
    if (!trayShown_)
        return;
    NOTIFYICONDATAW icon{};
    icon.cbSize = sizeof icon;
    icon.hWnd = hwnd_;
    icon.uID = kTrayIconId;
    Shell_NotifyIconW(NIM_DELETE, &icon);
    trayShown_ = false;
}

// The task-bar button goes with the window.
void TMainWindow::HideToTray() {
    ShowWindow(hwnd_, SW_HIDE);
    ShowWindow(Application, SW_HIDE);
}

void TMainWindow::Restore() {
    ShowWindow(Application, SW_SHOWNA);
    ShowWindow(hwnd_, SW_RESTORE);
    SetForegroundWindow(hwnd_);
}

void TMainWindow::Post(int message) {
    PostMessageA(hwnd_, static_cast<UINT>(message), 0, 0);
}

// The menu closes properly only when its owner is the foreground window, and
// after a message has followed it.
void TMainWindow::ShowTrayPopup() {
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(hwnd_);
    TrackPopupMenu(TrayPopup, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, hwnd_, nullptr);
    PostMessageW(hwnd_, WM_NULL, 0, 0);
}

void TMainWindow::OnTrayIcon(UINT mouseMessage) {
    switch (mouseMessage) {
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDBLCLK:
        form_->TrayIcon1DblClick();
        break;
    case WM_RBUTTONUP:
        ShowTrayPopup();
        break;
    default:
        break;
    }
}

void TMainWindow::OnTimer(UINT_PTR id) {
    if (id == LogTimer_.Id())
        form_->LogTimerTimer();
    else if (id == BlickTimer_.Id())
        form_->BlickTimerTimer();
}

void TMainWindow::OnCommand(UINT id) {
    if (id == kRestore1Id)
        form_->Restore1Click();
    else if (id == kPoslatEnter1Id)
        form_->PoslatEnter1Click();
}

LRESULT CALLBACK TMainWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto* window = static_cast<TMainWindow*>(create->lpCreateParams);
        window->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
    }
    auto* window = reinterpret_cast<TMainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (window == nullptr)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    return window->Handle(message, wParam, lParam);
}

LRESULT TMainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (taskbarCreated_ != 0 && message == taskbarCreated_) {
        // Explorer started again: its new notification area knows no icons.
        trayShown_ = false;
        AddTrayIcon();
        return 0;
    }
    const bool attached = form_ != nullptr;
    switch (message) {
    case WM_PROTOCOL:
    case WM_BLICK_START:
        if (attached)
            form_->Dispatch(static_cast<int>(message));
        return 0;
    case WM_TIMER:
        if (attached)
            OnTimer(wParam);
        return 0;
    case WM_TRAY_ICON:
        if (attached)
            OnTrayIcon(LOWORD(lParam));
        return 0;
    case WM_COMMAND:
        if (attached && HIWORD(wParam) == 0)
            OnCommand(LOWORD(wParam));
        return 0;
    case WM_SIZE:
        if (attached && wParam == SIZE_MINIMIZED)
            form_->FormMinimized();
        return 0;
    case WM_SETFOCUS:
        if (LogGridControl)
            SetFocus(LogGridControl->Handle());
        return 0;
    case WM_CTLCOLORSTATIC:
        SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    case WM_ENDSESSION:
        if (wParam) {
            RemoveTrayIcon();
            if (form_ != nullptr)
                form_->SessionEnding();
        }
        return 0;
    // Closing ends the message loop; the program then shuts the behaviour
    // down before it destroys the window.
    case WM_CLOSE:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(hwnd_, message, wParam, lParam);
    }
}

// ---- Message boxes ----

void TWin32MessageBoxes::ShowMessage(const std::string& text, const std::string& caption,
                                     TMessageIcon icon) {
    const UINT style = MB_OK | (icon == TMessageIcon::Error ? MB_ICONERROR : 0);
    MessageBoxW(nullptr, Utf16(text).c_str(), Utf16(caption).c_str(), style);
}

} // namespace lorvent
